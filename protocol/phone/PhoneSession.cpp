#include "protocol/phone/PhoneSession.h"

namespace TrackpadProtocol {

PhoneSession::PhoneSession(const UUID& deviceID, const PairingToken& token, bool wantsFeatures,
                           const DatagramKey& datagramKey)
    : deviceID_(deviceID), token_(token), wantsFeatures_(wantsFeatures), sealer_(datagramKey) {}

Message PhoneSession::request() {
    if (state_ != State::ended) {
        state_ = State::requested;
    }
    return Message::SessionRequest{deviceID_, token_.bytes(), wantsFeatures_};
}

std::optional<PhoneSession::Event> PhoneSession::receive(const Message& message) {
    if (state_ == State::ended) {
        return std::nullopt;
    }
    if (const auto* accepted = message.as<Message::SessionAccepted>()) {
        if (state_ != State::requested) {
            return std::nullopt;  // unasked: the computer answers requests only
        }
        state_ = State::open;
        features_ = accepted->features;
        return Accepted{accepted->features};
    }
    if (const auto* rejected = message.as<Message::PairingRejected>()) {
        if (state_ != State::requested && state_ != State::open) {
            return std::nullopt;
        }
        state_ = State::refused;
        features_.reset();
        return Refused{rejected->reason};
    }
    return std::nullopt;
}

void PhoneSession::end() {
    state_ = State::ended;
    features_.reset();
}

std::optional<std::vector<std::uint8_t>> PhoneSession::sealDatagram(std::span<const std::uint8_t> payload) {
    if (state_ != State::open) {
        return std::nullopt;
    }
    return sealer_.seal(payload);
}

std::optional<std::vector<std::uint8_t>> PhoneSession::sealDatagram(const Message& message) {
    if (state_ != State::open || message.transport() != Transport::datagram) {
        return std::nullopt;
    }
    return sealer_.seal(message);
}

}  // namespace TrackpadProtocol
