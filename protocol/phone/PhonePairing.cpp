#include "protocol/phone/PhonePairing.h"

#include <stdexcept>

#include "protocol/messages/Secrets.h"
#include "protocol/security/CPace.h"

namespace TrackpadProtocol {

PhonePairing::PhonePairing(const UUID& deviceID, std::string deviceName,
                           const std::array<std::uint8_t, 32>& exporterValue, const PublicKeyDigest& hostKey)
    : deviceID_(deviceID),
      deviceName_(truncatedForWire(deviceName)),
      exporterValue_(exporterValue),
      hostKey_(hostKey) {}

PhonePairing::~PhonePairing() {
    wipe(exporterValue_);
}

Message PhonePairing::request() {
    state_ = State::requested;
    return Message::PairingRequest{deviceID_, deviceName_};
}

PhonePairing::Event PhonePairing::fail(Failure reason, std::optional<PairingRejection> rejection) {
    state_ = State::failed;
    failure_ = reason;
    responder_.reset();
    challenge_.reset();
    return Failed{reason, rejection};
}

std::optional<PhonePairing::Event> PhonePairing::receive(const Message& message) {
    const bool active =
        state_ == State::requested || state_ == State::awaitingCode || state_ == State::responded;
    if (const auto* challenge = message.as<Message::PairingChallenge>()) {
        if (!active) {
            return std::nullopt;  // a late challenge after the end changes nothing
        }
        // After our response, a new challenge means the computer counted a wrong code.
        const bool afterWrongCode = state_ == State::responded;
        responder_.reset();
        challenge_ = *challenge;
        state_ = State::awaitingCode;
        return CodeNeeded{challenge->hostID, challenge->hostName, challenge->attemptsLeft, afterWrongCode};
    }
    if (const auto* accepted = message.as<Message::PairingAccepted>()) {
        if (!active) {
            return std::nullopt;
        }
        if (state_ != State::responded || !responder_) {
            return fail(Failure::unexpectedMessage);
        }
        if (!responder_->verifyPeerConfirmation(accepted->confirmation)) {
            return fail(Failure::computerNotConfirmed);
        }
        Succeeded succeeded{challenge_->hostID, challenge_->hostName, PairingToken(accepted->token),
                            hostKey_};
        responder_.reset();
        challenge_.reset();
        state_ = State::paired;
        return succeeded;
    }
    if (const auto* rejected = message.as<Message::PairingRejected>()) {
        if (!active) {
            return std::nullopt;
        }
        return fail(Failure::rejected, rejected->reason);
    }
    return std::nullopt;
}

Message PhonePairing::respond(const PairingCode& code) {
    if (state_ != State::awaitingCode || !challenge_) {
        throw std::logic_error("no pairing code is awaited");
    }
    responder_ = std::make_unique<CPaceResponder>(code, exporterValue_, challenge_->hostID, deviceID_,
                                                  challenge_->sessionID);
    if (!responder_->receivePeerShare(challenge_->share, challenge_->hostID.bytes)) {
        fail(Failure::invalidChallenge);
        return Message::PairingCancel{};
    }
    state_ = State::responded;
    return Message::PairingResponse{responder_->share(), responder_->confirmation()};
}

Message PhonePairing::cancel() {
    fail(Failure::cancelled);
    return Message::PairingCancel{};
}

}  // namespace TrackpadProtocol
