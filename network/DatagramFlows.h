#pragma once
// The datagram side of the listener: one UDP socket shared by every phone, one DTLS 1.2 server session
// (a flow) per remote address, and the stateless cookie exchange before any flow is made, so a spoofed
// hello costs one answer and no memory. Each decrypted record is handed on as it is: authenticating it
// as a phone's message is the listener's business. Lives on the loop's thread.
//
// A flow belongs to nobody until the listener adopts it for a connection (its first authenticated
// datagram); a flow nobody adopts within the handshake timeout is dropped, unless its handshake is done
// and its host holds a session (a phone may wait any time before its first touch); adopted flows are
// closed with their connection.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "network/Sockets.h"
#include "platform/EventLoop.h"

struct ssl_ctx_st;
struct bio_method_st;

namespace CompanionNetwork {

class DatagramFlows {
  public:
    using FlowID = std::uint64_t;
    // Beyond this many flows a new one replaces the least recently active flow, unadopted ones first.
    static constexpr std::size_t maxFlows = 64;

    // One record's plaintext from a flow and the address it came from.
    using Received = std::function<void(FlowID, const SocketAddress&, std::span<const std::uint8_t>)>;

    // Takes the bound UDP socket. Throws TrackpadProtocol::TLSError when OpenSSL cannot set up.
    DatagramFlows(platform::EventLoop& loop, ssl_ctx_st* context, SocketFD socket, double handshakeTimeout,
                  Received received);
    ~DatagramFlows();
    DatagramFlows(const DatagramFlows&) = delete;
    DatagramFlows& operator=(const DatagramFlows&) = delete;

    void start();
    std::uint16_t port() const;

    // Ties a flow to its owner (a connection number, never 0): it no longer expires on its own.
    void adopt(FlowID flow, std::uint64_t owner);
    // Asked when an established, unadopted flow's time is up: true keeps it another handshake timeout.
    void setKeepsUnadopted(std::function<bool(const std::string& host)> keeps) {
        keepsUnadopted_ = std::move(keeps);
    }
    // Closes every flow of an owner.
    void closeFlowsOf(std::uint64_t owner);
    void closeFlow(FlowID flow);
    void closeAll();
    std::size_t flowCount() const { return flows_.size(); }
    std::size_t establishedFlowCount() const;

  private:
    struct Flow;

    void onReadable();
    void handleDatagram(const SocketAddress& from, std::span<const std::uint8_t> datagram);
    void admit(const SocketAddress& from, std::span<const std::uint8_t> hello);
    void feed(Flow& flow, std::span<const std::uint8_t> datagram);
    void continueHandshake(Flow& flow);
    void readRecords(Flow& flow);
    void armRetransmission(Flow& flow);
    void remove(FlowID id);
    void makeRoom();
    void expire(FlowID id);
    std::unique_ptr<Flow> newFlow(const SocketAddress& from);

    platform::EventLoop& loop_;
    ssl_ctx_st* context_;
    SocketFD socket_;
    double handshakeTimeout_;
    Received received_;
    std::function<bool(const std::string& host)> keepsUnadopted_;
    bio_method_st* method_ = nullptr;
    platform::EventLoop::WatchID watch_ = 0;
    FlowID nextFlow_ = 1;
    std::unordered_map<FlowID, std::unique_ptr<Flow>> flows_;
    std::unordered_map<std::string, FlowID> byAddress_;
    std::vector<std::uint8_t> receiveBuffer_ = std::vector<std::uint8_t>(65536);
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace CompanionNetwork
