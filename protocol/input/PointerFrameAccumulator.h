#pragma once
// Coalesces pointer deltas into frames: motion is held back and released as one move per frame, never
// later than the maximum delay after it arrived, and always before any other message so order is kept.
// A plain value; the injector keeps one on the main thread.
#include <optional>
#include <vector>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

struct PointerFrameAccumulator {
    double frameInterval = 1.0 / 120.0;
    double maxDelay = 1.0 / 60.0;
    double pendingDX = 0;
    double pendingDY = 0;
    std::optional<double> firstPendingTime;
    std::optional<double> lastReleaseTime;

    // A NaN or infinite interval becomes 1/120 and a negative one 0; the maximum delay is never below the
    // interval, and a NaN or infinite one becomes the larger of the interval and 1/60.
    PointerFrameAccumulator(double frameInterval = 1.0 / 120.0, double maxDelay = 1.0 / 60.0);

    // A move or drag(changed), also inside positioned, first releases the motion due at `now`, then adds
    // its deltas (pending sums that cancel as 32-bit floats are cleared) and releases at once when the
    // interval is 0. Any other message releases all pending motion dated `now` and then comes out itself.
    std::vector<Message> add(const Message& message, double now);
    // The same, appending to `out`; does not allocate once `out` has room.
    void add(const Message& message, double now, std::vector<Message>& out);

    // Takes the pending motion as one move; nothing when the sums are not finite or both zero as floats.
    // A present, finite time becomes the last release time.
    std::vector<Message> release(std::optional<double> at);
    void release(std::optional<double> at, std::vector<Message>& out);

    // Releases the pending motion when it is due at `now`, dated at its due time when `now` lies within
    // one frame after it, else dated `now`.
    std::vector<Message> releaseIfDue(double now);
    void releaseIfDue(double now, std::vector<Message>& out);

    // When the pending motion is due; none when nothing is pending.
    std::optional<double> releaseTime() const;

  private:
    bool pendingIsZero() const;
};

}  // namespace TrackpadProtocol
