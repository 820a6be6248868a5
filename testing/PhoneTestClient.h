#pragma once
// A phone for end-to-end tests, built on the protocol library's phone halves: a TLS 1.3 connection with
// frames, pairing with a code (PhonePairing), the session handshake (PhoneSession), datagrams sealed by
// the session and sent over DTLS 1.2, the unlock flow, and whatever the computer pushes. Blocking calls
// with time limits, for a test's own thread while the computer runs on its loop thread.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "protocol/messages/Message.h"
#include "protocol/messages/MessageFraming.h"
#include "protocol/phone/PhonePairing.h"
#include "protocol/phone/PhoneSession.h"
#include "protocol/phone/PhoneUnlockFlow.h"
#include "protocol/security/PairingToken.h"
#include "protocol/security/TLSIdentity.h"
#include "testing/PhoneChannels.h"

namespace testing_support {

class PhoneTestClient {
  public:
    using Message = TrackpadProtocol::Message;

    struct Endpoint {
        std::string host = "127.0.0.1";
        std::uint16_t tcpPort = 0;
        std::uint16_t udpPort = 0;
        // The local address to connect from; empty: the system's choice.
        std::string source = {};
    };
    // What a paired phone keeps.
    struct Pairing {
        TrackpadProtocol::UUID hostID;
        TrackpadProtocol::PairingToken token;
        TrackpadProtocol::PublicKeyDigest hostKey{};
    };

    PhoneTestClient(Endpoint endpoint, std::string deviceName = "Test iPhone",
                    TrackpadProtocol::UUID deviceID = TrackpadProtocol::UUID::random(), double timeout = 5);
    ~PhoneTestClient();

    const TrackpadProtocol::UUID& deviceID() const { return deviceID_; }
    const std::optional<Pairing>& pairing() const { return pairing_; }
    void setPairing(std::optional<Pairing> pairing) { pairing_ = std::move(pairing); }

    // TLS, pinned to the computer's key once paired. Throws std::runtime_error.
    void connect();
    void disconnect();
    bool isConnected() const { return tls_ != nullptr && !tls_->isClosed(); }
    // Waits for the computer to close the TLS connection.
    bool waitForClose(double timeout);

    void send(const Message& message);
    void sendRaw(std::span<const std::uint8_t> bytes);
    // The next message from the computer (pairing, session and unlock messages are also fed to their
    // flows); none when nothing came in time or the connection closed.
    std::optional<Message> receive(double timeout);
    // The first message (in order) that satisfies `wanted`; the ones before it are dropped.
    std::optional<Message> receiveUntil(const std::function<bool(const Message&)>& wanted, double timeout);
    template <class Case>
    std::optional<Case> receiveCase(double timeout) {
        auto found =
            receiveUntil([](const Message& message) { return message.template is<Case>(); }, timeout);
        if (!found) {
            return std::nullopt;
        }
        return *found->template as<Case>();
    }

    // Asks to pair; the computer's answer (code needed, or failed when it refused).
    TrackpadProtocol::PhonePairing::Event requestPairing();
    // Sends the code the user typed; the next event (succeeded, code needed again, or failed).
    TrackpadProtocol::PhonePairing::Event enterCode(const std::string& digits);
    // Tells the computer the user gave up.
    void cancelPairing();

    // Opens a session with the stored pairing, or with `token` in its place; the computer's answer.
    TrackpadProtocol::PhoneSession::Event openSession(
        bool wantsFeatures = false, std::optional<TrackpadProtocol::PairingToken> token = {});
    bool hasSession() const { return session_ && session_->isOpen(); }

    // A DTLS 1.2 flow to the computer's datagram port. Throws.
    void connectDatagrams();
    void disconnectDatagrams();
    // Seals the message under the session and sends it; returns the sealed datagram (for replays).
    Bytes sendDatagram(const Message& message);
    void sendSealed(std::span<const std::uint8_t> sealed);
    bool datagramFlowClosed(double timeout);

    // Sends an unlock request; its result comes to `completion` during a later receive.
    Message requestUnlock(std::string password, TrackpadProtocol::PhoneUnlockFlow::Completion completion);

    TLSClientChannel* channel() { return tls_.get(); }

  private:
    std::optional<Message> nextBuffered();
    void take(const Message& message);

    Endpoint endpoint_;
    std::string deviceName_;
    TrackpadProtocol::UUID deviceID_;
    double timeout_;
    std::unique_ptr<TLSClientChannel> tls_;
    std::unique_ptr<DTLSClientChannel> dtls_;
    TrackpadProtocol::FrameDecoder decoder_;
    std::deque<Message> inbox_;
    std::optional<Pairing> pairing_;
    std::unique_ptr<TrackpadProtocol::PhonePairing> pairingFlow_;
    std::unique_ptr<TrackpadProtocol::PhoneSession> session_;
    TrackpadProtocol::PhoneUnlockFlow unlocks_;
};

}  // namespace testing_support
