#pragma once
// The phone's session handshake with a paired computer on one TLS connection, and the gate for its
// datagrams: they are sealed only while the computer has accepted the session. One sealer lives as long
// as the connection (its key is exported from that connection), so a session opened again on the same
// connection keeps counting where it left off and the computer's replay window never sees a counter
// twice. Lives on the connection's thread; not thread-safe.
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "protocol/messages/Message.h"
#include "protocol/security/DatagramSealer.h"
#include "protocol/security/PairingToken.h"

namespace TrackpadProtocol {

class PhoneSession {
  public:
    enum class State { idle, requested, open, refused, ended };
    struct Accepted {
        std::optional<HostFeatures> features;
    };
    struct Refused {
        PairingRejection reason = PairingRejection::notPaired;
    };
    using Event = std::variant<Accepted, Refused>;

    // `datagramKey` is the key exported from this connection.
    PhoneSession(const UUID& deviceID, const PairingToken& token, bool wantsFeatures,
                 const DatagramKey& datagramKey);

    State state() const { return state_; }
    bool isOpen() const { return state_ == State::open; }
    // The features the computer offers, when they were asked for and the session is open.
    std::optional<HostFeatures> features() const { return features_; }

    // The session request to send (also to open the session again on the same connection).
    Message request();
    // Takes one message from the computer: sessionAccepted opens the session, a rejection ends it (also
    // one that comes while the session is open, as after the computer forgot this phone). Other
    // messages give no event.
    std::optional<Event> receive(const Message& message);
    // The connection closed: nothing more is sealed.
    void end();

    // The sealed datagram of a message that travels by datagram; none while the session is not open and
    // none for a message that travels over TLS (send that one on the connection). Throws
    // MessageCodec::EncodingError for a message that cannot be encoded.
    std::optional<std::vector<std::uint8_t>> sealDatagram(const Message& message);
    // The same for an already encoded payload, which is not checked.
    std::optional<std::vector<std::uint8_t>> sealDatagram(std::span<const std::uint8_t> payload);

  private:
    UUID deviceID_;
    PairingToken token_;
    bool wantsFeatures_;
    DatagramSealer sealer_;
    State state_ = State::idle;
    std::optional<HostFeatures> features_;
};

}  // namespace TrackpadProtocol
