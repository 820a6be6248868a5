#include "protocol/input/PointerFrameAccumulator.h"

#include <algorithm>
#include <cmath>

#include "protocol/messages/FloatNarrowing.h"

namespace TrackpadProtocol {

namespace {

// The deltas of a message that carries motion: move and drag(changed), bare or positioned.
bool motionOf(const Message& message, float& dx, float& dy) {
    const Message* inner = &message;
    if (auto positioned = message.as<Message::Positioned>())
        inner = &*positioned->message;
    if (auto move = inner->as<Message::Move>()) {
        dx = move->dx;
        dy = move->dy;
        return true;
    }
    if (auto drag = inner->as<Message::Drag>(); drag && drag->phase == DragPhase::changed) {
        dx = drag->dx;
        dy = drag->dy;
        return true;
    }
    return false;
}

}  // namespace

PointerFrameAccumulator::PointerFrameAccumulator(double frameInterval, double maxDelay) {
    if (!std::isfinite(frameInterval)) {
        frameInterval = 1.0 / 120.0;
    } else if (frameInterval < 0) {
        frameInterval = 0;
    }
    if (!std::isfinite(maxDelay)) {
        maxDelay = std::max(frameInterval, 1.0 / 60.0);
    } else {
        maxDelay = std::max(maxDelay, frameInterval);
    }
    this->frameInterval = frameInterval;
    this->maxDelay = maxDelay;
}

bool PointerFrameAccumulator::pendingIsZero() const {
    return narrowToFloat(pendingDX) == 0 && narrowToFloat(pendingDY) == 0;
}

std::vector<Message> PointerFrameAccumulator::add(const Message& message, double now) {
    std::vector<Message> out;
    add(message, now, out);
    return out;
}

void PointerFrameAccumulator::add(const Message& message, double now, std::vector<Message>& out) {
    float dx = 0;
    float dy = 0;
    if (!motionOf(message, dx, dy)) {
        release(now, out);
        out.push_back(message);
        return;
    }
    releaseIfDue(now, out);
    // A non-finite delta would poison every other delta of its frame; it is ignored instead.
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return;
    if (!firstPendingTime)
        firstPendingTime = now;
    pendingDX += dx;
    pendingDY += dy;
    if (pendingIsZero()) {
        pendingDX = 0;
        pendingDY = 0;
        firstPendingTime.reset();
        return;
    }
    // Motion that arrives at a time that cannot be scheduled goes out at once rather than waiting
    // for a due time that would not be a number.
    if (frameInterval == 0 || !std::isfinite(now))
        release(now, out);
}

std::vector<Message> PointerFrameAccumulator::release(std::optional<double> at) {
    std::vector<Message> out;
    release(at, out);
    return out;
}

void PointerFrameAccumulator::release(std::optional<double> at, std::vector<Message>& out) {
    const float dx = narrowToFloat(pendingDX);
    const float dy = narrowToFloat(pendingDY);
    pendingDX = 0;
    pendingDY = 0;
    firstPendingTime.reset();
    if (!std::isfinite(dx) || !std::isfinite(dy) || (dx == 0 && dy == 0))
        return;
    if (at && std::isfinite(*at))
        lastReleaseTime = *at;
    out.emplace_back(Message::Move{dx, dy});
}

std::vector<Message> PointerFrameAccumulator::releaseIfDue(double now) {
    std::vector<Message> out;
    releaseIfDue(now, out);
    return out;
}

void PointerFrameAccumulator::releaseIfDue(double now, std::vector<Message>& out) {
    if (!std::isfinite(now) || !firstPendingTime || pendingIsZero())
        return;
    const auto due = releaseTime();
    if (!due || now < *due - 1e-9)
        return;
    if (frameInterval > 0 && now - *due < frameInterval) {
        release(*due, out);
    } else {
        release(now, out);
    }
}

std::optional<double> PointerFrameAccumulator::releaseTime() const {
    if (!firstPendingTime || pendingIsZero())
        return std::nullopt;
    const double first = *firstPendingTime;
    double due = first + frameInterval;
    if (lastReleaseTime && first - *lastReleaseTime < maxDelay) {
        due = std::max(*lastReleaseTime + frameInterval, first);
    }
    return std::min(due, first + maxDelay);
}

}  // namespace TrackpadProtocol
