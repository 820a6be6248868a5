#pragma once
// The phone's side of pairing, driven by the computer's messages on one TLS connection: it asks to pair,
// hands the computer's challenge to the user, answers with its CPace share and confirmation once the
// user typed the code, and trusts the computer (token, host id, pinned key) only after the computer's
// own confirmation verifies. A wrong code brings a fresh challenge from the computer; the code is typed
// again. Lives on the connection's thread; not thread-safe.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "protocol/messages/Message.h"
#include "protocol/security/PairingCode.h"
#include "protocol/security/PairingToken.h"
#include "protocol/security/TLSIdentity.h"

namespace TrackpadProtocol {

class CPaceResponder;

class PhonePairing {
  public:
    enum class State { idle, requested, awaitingCode, responded, paired, failed };
    enum class Failure {
        rejected,              // the computer refused (see the rejection)
        computerNotConfirmed,  // the computer's confirmation did not verify: nothing is stored
        invalidChallenge,      // the computer's share was not a usable point
        unexpectedMessage,     // a pairing message out of turn
        cancelled,             // the phone's user gave up
    };

    // The computer asks for the code (again, after a wrong one).
    struct CodeNeeded {
        UUID hostID;
        std::string hostName;
        std::uint8_t attemptsLeft = 0;
        bool afterWrongCode = false;
    };
    // What the phone keeps for later sessions.
    struct Succeeded {
        UUID hostID;
        std::string hostName;
        PairingToken token;
        PublicKeyDigest hostKey{};
    };
    struct Failed {
        Failure reason = Failure::rejected;
        std::optional<PairingRejection> rejection;
    };
    using Event = std::variant<CodeNeeded, Succeeded, Failed>;

    // `exporterValue` is the connection's pairing exporter and `hostKey` the digest of the certificate
    // key the connection presented (pinned on success).
    PhonePairing(const UUID& deviceID, std::string deviceName,
                 const std::array<std::uint8_t, 32>& exporterValue, const PublicKeyDigest& hostKey);
    ~PhonePairing();
    PhonePairing(const PhonePairing&) = delete;
    PhonePairing& operator=(const PhonePairing&) = delete;

    State state() const { return state_; }
    // Why the pairing failed, once it has.
    std::optional<Failure> failure() const { return failure_; }

    // The pairing request to send first.
    Message request();
    // Takes one message from the computer. Pairing messages move the exchange on and may give an
    // event; any other message gives none and changes nothing.
    std::optional<Event> receive(const Message& message);
    // The user typed `code`: the pairing response to send. Only while a code is awaited
    // (std::logic_error otherwise). Should the computer's share be unusable, the pairing fails and the
    // answer is a pairing cancel instead.
    Message respond(const PairingCode& code);
    // The user gave up: the pairing cancel to send.
    Message cancel();

  private:
    Event fail(Failure reason, std::optional<PairingRejection> rejection = std::nullopt);

    UUID deviceID_;
    std::string deviceName_;
    std::array<std::uint8_t, 32> exporterValue_;
    PublicKeyDigest hostKey_;
    State state_ = State::idle;
    std::optional<Failure> failure_;
    std::optional<Message::PairingChallenge> challenge_;
    std::unique_ptr<CPaceResponder> responder_;
};

}  // namespace TrackpadProtocol
