// The frame path of a live view: only the newest captured frame waits, hand-offs to the encoder are paced
// to the requested rate and limited by the frames still in flight, and encoded frames go out as parts.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "platform/Log.h"
#include "protocol/messages/LargePayloads.h"
#include "screen-view/ScreenViewSession.h"

namespace ScreenView {

using TrackpadProtocol::ScreenVideoFrame;

namespace {
const platform::Logger logger("dev.quelmar.trackpad.mac", "screenview");
}

void ScreenViewSession::frameArrived(CapturedFrame frame, std::uint64_t generation) {
    if (!view_ || view_->generation != generation) {
        return;
    }
    stats_.framesCaptured += 1;
    if (view_->waiting) {
        stats_.framesSkipped += 1;
    }
    view_->waiting = frame;
    view_->latest = std::move(frame);
    encodeIfDue();
}

void ScreenViewSession::encodeIfDue() {
    if (!view_ || !view_->waiting) {
        return;
    }
    View& view = *view_;
    if (view.framesInFlight >= configuration_.maxFramesInFlight) {
        return;
    }
    const double now = clock_();
    const double interval = 1.0 / std::max<int>(view.request.framesPerSecond, 1);
    const bool due = !view.lastEncodeTime || now >= *view.lastEncodeTime + 0.95 * interval;
    if (!due) {
        // The wake comes when the frame becomes due, not a whole interval after the last hand-off: with a
        // capture that delivers at the view's own rate, a frame that arrives a little early would otherwise
        // wait a full interval, and every later frame with it, adding up to an interval of delay for good.
        if (!view.wakeScheduled) {
            view.wakeScheduled = true;
            const double delay = *view.lastEncodeTime + 0.95 * interval - now;
            const auto micros = std::chrono::microseconds(static_cast<std::int64_t>(std::ceil(delay * 1e6)));
            view.wakeTimer =
                queue_->schedule(micros, [weak = weak_from_this(), generation = view.generation] {
                    if (auto self = weak.lock()) {
                        self->wake(generation);
                    }
                });
        }
        return;
    }
    CapturedFrame frame = std::move(*view.waiting);
    view.waiting.reset();
    std::uint64_t timestamp = frame.timestamp;
    if (view.lastTimestamp && timestamp <= *view.lastTimestamp) {
        // Saturates rather than wrapping to 0, which would break the strictly increasing order.
        timestamp = *view.lastTimestamp == std::numeric_limits<std::uint64_t>::max()
                        ? *view.lastTimestamp
                        : *view.lastTimestamp + 1;
    }
    const bool keyframe = view.needsKeyframe;
    view.framesInFlight += 1;
    view.lastEncodeTime = now;
    view.needsKeyframe = false;
    view.lastTimestamp = timestamp;
    stats_.framesEncoded += 1;
    view.encoder->encode(
        std::move(frame.pixelBuffer), timestamp, keyframe,
        [weak = weak_from_this(), queue = queue_, timestamp, keyframe,
         generation = view.generation](EncodeResult result) {
            queue->post([weak, result = std::move(result), timestamp, keyframe, generation]() mutable {
                if (auto self = weak.lock()) {
                    self->encoderFinished(std::move(result), timestamp, keyframe, generation);
                }
            });
        });
}

void ScreenViewSession::wake(std::uint64_t generation) {
    if (!view_ || view_->generation != generation) {
        return;
    }
    view_->wakeScheduled = false;
    view_->wakeTimer = 0;
    encodeIfDue();
}

void ScreenViewSession::releaseSlot() {
    view_->framesInFlight = std::max(view_->framesInFlight - 1, 0);
}

void ScreenViewSession::encoderFinished(EncodeResult result, std::uint64_t timestamp, bool keyframe,
                                        std::uint64_t generation) {
    if (!view_ || view_->generation != generation) {
        return;
    }
    if (auto* encoded = std::get_if<EncodeResult::Encoded>(&result.kind)) {
        EncodedSample& sample = encoded->sample;
        if (keyframe && !sample.isKeyframe()) {
            // A phone cannot decode anything before it has the parameter sets: ask for another keyframe
            // rather than leave the stream undecodable until the encoder's own next keyframe.
            view_->needsKeyframe = true;
        }
        ScreenVideoFrame frame;
        frame.codec = view_->codec;
        frame.displayID = view_->request.displayID;
        frame.pixelWidth = static_cast<std::uint16_t>(std::clamp(view_->pixelWidth, 0, 65535));
        frame.pixelHeight = static_cast<std::uint16_t>(std::clamp(view_->pixelHeight, 0, 65535));
        frame.timestamp = timestamp;
        frame.parameterSets = std::move(sample.parameterSets);
        frame.sample = std::move(sample.sample);
        Messages messages;
        try {
            messages = frame.messages(nextFrameNumber_);
        } catch (const std::exception&) {
            releaseSlot();
            view_->needsKeyframe = true;
            encodeIfDue();
            return;
        }
        nextFrameNumber_ += 1;  // wraps modulo 2^32
        stats_.framesSent += 1;
        if (!canSend()) {
            // Nothing goes out any more, so no completion will come to free the slot.
            releaseSlot();
            return;
        }
        send_(std::move(messages), [weak = weak_from_this(), queue = queue_, generation] {
            queue->post([weak, generation] {
                if (auto self = weak.lock()) {
                    self->frameDelivered(generation);
                }
            });
        });
    } else if (std::holds_alternative<EncodeResult::Dropped>(result.kind)) {
        stats_.framesDroppedByEncoder += 1;
        releaseSlot();
        if (keyframe) {
            view_->needsKeyframe = true;
        }
        encodeIfDue();
    } else {
        logger.error("Lumivex screen view: the encoder failed: " +
                     std::get<EncodeResult::Failed>(result.kind).reason);
        const std::uint32_t id = view_->request.displayID;
        stopView();
        sendStatus(State::failed, id);
    }
}

void ScreenViewSession::frameDelivered(std::uint64_t generation) {
    if (!view_ || view_->generation != generation) {
        return;
    }
    releaseSlot();
    encodeIfDue();
}

}  // namespace ScreenView
