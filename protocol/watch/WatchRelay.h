#pragma once
// Both ends of the hand-over of watch input: on the phone, WatchRelay answers each payload from the watch
// and lets the phone application deliver input to the computer; on the watch, WatchInputSink is the
// connection to the phone that the input router sends through.
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "protocol/watch/WatchConnectionSummary.h"
#include "protocol/watch/WatchPayload.h"

namespace TrackpadProtocol {

// Implemented by the phone application.
class WatchRelayTarget {
  public:
    virtual ~WatchRelayTarget() = default;
    // Hands the message to the computer the phone controls; true when it was handed over.
    virtual bool sendToMac(const Message& message) = 0;
    // Sends only when the phone's status still names the same computer and input session.
    virtual bool relay(const Message& message, const std::optional<UUID>& targetMacID,
                       std::int64_t inputSession) {
        if (!watchStatus().matches(targetMacID, inputSession))
            return false;
        return sendToMac(message);
    }
    // The status the watch should see now.
    virtual WatchStatus watchStatus() const = 0;
};

// On the phone. Holds no state besides its target, which it never keeps alive. Runs on its caller's thread;
// the caller serialises calls.
class WatchRelay {
  public:
    explicit WatchRelay(std::weak_ptr<WatchRelayTarget> target = {}) : target(std::move(target)) {}

    std::weak_ptr<WatchRelayTarget> target;

    // Answers the bytes of one payload from the watch. Every payload is answered, an unreadable one with
    // the current status; the result is empty only when the answer cannot be encoded. Never throws.
    Data receive(std::span<const std::uint8_t> data) const;
    // An input is relayed when it is watch input aimed at the phone's current computer and input session,
    // and answered with whether it was delivered and the status as it stands afterwards; everything else is
    // answered with the current status.
    WatchPayload answer(const WatchPayload& payload) const;
    // The target's status, or WatchStatus::unavailable when the target is gone.
    WatchStatus currentStatus() const;
};

// The watch's connection to the phone, implemented by the watch application. For every message that
// send() accepts, the sink calls onAnswer exactly once later, with whether the computer took it.
class WatchInputSink {
  public:
    virtual ~WatchInputSink() = default;
    // Asks the phone for its status now; the outcome arrives through the observed phone state. Nothing in
    // the relay's own flows calls it: it is for the watch's views (a "check again").
    virtual void refreshPhoneState() = 0;
    // Sends one input message for that computer and phone session; false when it could not be sent (for
    // example no phone is reachable).
    virtual bool send(const Message& message, const std::optional<UUID>& targetMacID,
                      std::int64_t inputSession, std::function<void(bool delivered)> onAnswer) = 0;
    // The callback is called whenever the sink's view of the phone changes.
    virtual void observePhoneState(std::function<void(const WatchPhoneState&)> callback) = 0;
};

// Lets the watch apply a requested status only when no newer status was taken since the request: a
// pushed status or an input result raises the generation, which makes older tickets stale.
struct WatchStatusSequencer {
    struct Ticket {
        std::int64_t generation = 0;
        bool operator==(const Ticket&) const = default;
    };

    std::int64_t generation = 0;

    // The ticket of a status request sent now.
    Ticket ticket() const { return {generation}; }
    // A status the watch takes unconditionally (pushed, or attached to an input result).
    std::optional<WatchStatus> receive(const std::optional<WatchPayload>& payload) {
        auto status = payload ? payload->carriedStatus() : std::nullopt;
        if (status)
            invalidate();
        return status;
    }
    // The answer to a request made under the ticket, unless a newer status was taken since.
    std::optional<WatchStatus> answer(const std::optional<WatchPayload>& payload, Ticket ticket) const {
        if (ticket.generation != generation || !payload)
            return std::nullopt;
        return payload->carriedStatus();
    }
    // Makes every outstanding ticket stale. Wraps around rather than overflowing.
    void invalidate() { generation = static_cast<std::int64_t>(static_cast<std::uint64_t>(generation) + 1); }
    bool operator==(const WatchStatusSequencer&) const = default;
};

}  // namespace TrackpadProtocol
