#pragma once
// The listener's state for one TLS connection: the connection, its frame decoder, what was exported
// from its TLS session, and what the connection holds (unlocks under way, a screen view). The pairing
// coordinator keeps the session itself; the device here mirrors it for clean-up. Lives on the queue.
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "network/PairingTypes.h"
#include "network/TLSConnection.h"
#include "network/UnlockCancellation.h"
#include "platform/Executor.h"
#include "protocol/messages/MessageFraming.h"
#include "protocol/messages/Types.h"
#include "protocol/security/DatagramKey.h"

namespace CompanionNetwork {

struct Peer {
    Peer(ConnectionID id, std::unique_ptr<TLSConnection> connection, double acceptedAt)
        : id(id),
          host(connection->remote().host()),
          acceptedAt(acceptedAt),
          connection(std::move(connection)) {}

    const ConnectionID id;
    const std::string host;   // the phone's address without port: its datagrams must come from there
    const double acceptedAt;  // on the queue's clock
    std::unique_ptr<TLSConnection> connection;
    TrackpadProtocol::FrameDecoder decoder;

    // Exported once the handshake is done: CPace binds pairing to the first, datagrams use the second.
    std::optional<TrackpadProtocol::Bytes32> pairingExporter;
    std::optional<TrackpadProtocol::DatagramKey> datagramKey;
    bool datagramKeyInstalled = false;

    std::optional<UUID> sessionDevice;
    // Armed at accept; cancelled while the phone is pairing or has a session, armed again when that ends.
    platform::Executor::TimerID handshakeTimer = 0;
    bool hadScreenView = false;
    // When the recent unusable frames came, within the listener's bad-frame window.
    std::deque<double> badFrames;
    std::vector<std::shared_ptr<UnlockCancellation>> unlocks;
};

}  // namespace CompanionNetwork
