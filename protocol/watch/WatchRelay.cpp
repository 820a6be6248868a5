#include "protocol/watch/WatchRelay.h"

#include "protocol/messages/MessageCodec.h"

namespace TrackpadProtocol {

WatchStatus WatchRelay::currentStatus() const {
    if (auto live = target.lock())
        return live->watchStatus();
    return WatchStatus::unavailable;
}

WatchPayload WatchRelay::answer(const WatchPayload& payload) const {
    const auto* input = std::get_if<WatchPayload::Input>(&payload.value);
    if (!input)
        return WatchPayload::Status{currentStatus()};
    auto live = target.lock();
    if (!live || !isWatchInput(input->message))
        return WatchPayload::InputResult{false, currentStatus()};
    bool delivered = false;
    if (live->watchStatus().matches(input->targetMacID, input->inputSession))
        delivered = live->relay(input->message, input->targetMacID, input->inputSession);
    // Read again: relaying can change the phone's state (the computer may have gone meanwhile).
    return WatchPayload::InputResult{delivered, live->watchStatus()};
}

Data WatchRelay::receive(std::span<const std::uint8_t> data) const {
    try {
        std::optional<WatchPayload> answerPayload;
        try {
            answerPayload = answer(WatchPayload(data));
        } catch (const MessageCodec::DecodingError&) {
            answerPayload = WatchPayload::Status{currentStatus()};
        }
        return answerPayload->encoded();
    } catch (...) {
        // The caller gets nothing to send rather than an exception across the transport.
        return {};
    }
}

}  // namespace TrackpadProtocol
