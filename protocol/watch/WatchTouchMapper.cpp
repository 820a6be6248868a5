#include "protocol/watch/WatchTouchMapper.h"

#include <algorithm>
#include <cmath>

#include "protocol/messages/FloatNarrowing.h"

namespace TrackpadProtocol {

namespace {

constexpr double shortestStep = 1.0 / 240;  // two positions closer in time count as this far apart
constexpr double smoothingWindow = 0.05;

bool finite(WatchTouchMapper::Vector v) {
    return std::isfinite(v.x) && std::isfinite(v.y);
}

Message crownScroll(float dy, ScrollPhase phase) {
    return Message::Scroll{0, dy, phase, std::nullopt};
}

}  // namespace

double WatchTouchMapper::Acceleration::gain(double speed) const {
    if (!std::isfinite(speed))
        return fastGain;
    if (slowSpeed < fastSpeed) {
        double t = (speed - slowSpeed) / (fastSpeed - slowSpeed);
        if (t > 1)
            t = 1;
        if (!(t > 0))
            t = 0;
        return slowGain + (fastGain - slowGain) * t * t * (3 - 2 * t);
    }
    return speed > slowSpeed ? fastGain : slowGain;
}

std::optional<WatchTouchMapper::Vector> WatchTouchMapper::measure(Vector p, double t) {
    const double dx = p.x - touch->location.x;
    const double dy = p.y - touch->location.y;
    if (!std::isfinite(dx) || !std::isfinite(dy) || (dx == 0 && dy == 0))
        return std::nullopt;
    const double dt = t - touch->time;
    const double distance = std::hypot(dx, dy);
    const double instant = distance / std::max(dt, shortestStep);
    touch->speed = touch->hasMoved && dt <= smoothingWindow ? (instant + touch->speed) / 2 : instant;
    touch->hasMoved = true;
    touch->location = p;
    touch->time = std::max(touch->time, t);
    touch->travel = std::max(touch->travel, std::hypot(p.x - touch->start.x, p.y - touch->start.y));
    return Vector{dx, dy};
}

std::optional<Message> WatchTouchMapper::pointerStep(Vector step, double speed) const {
    const double scale = configuration.pointerSpeed * configuration.acceleration.gain(speed);
    const float mx = narrowToFloat(step.x * scale);
    const float my = narrowToFloat(step.y * scale);
    if (!std::isfinite(mx) || !std::isfinite(my) || (mx == 0 && my == 0))
        return std::nullopt;
    return Message::Move{mx, my};
}

std::vector<Message> WatchTouchMapper::touchBegan(Vector p, double t) {
    // A position that is not a number could never be moved away from; such a touch is not begun.
    if (!finite(p) || !std::isfinite(t))
        return {};
    touch = Touch{p, t, p, t, 0, 0, true, false};
    return {};
}

std::vector<Message> WatchTouchMapper::touchMoved(Vector p, double t) {
    if (!touch)
        return touchBegan(p, t);
    const auto measured = measure(p, t);
    if (!measured)
        return {};
    Vector step = *measured;
    double speed = touch->speed;
    if (touch->isHoldingBack) {
        const double elapsed = t - touch->startTime;
        if (touch->travel <= configuration.tapMaximumTravel && elapsed <= configuration.tapMaximumDuration)
            return {};
        touch->isHoldingBack = false;
        step = {touch->location.x - touch->start.x, touch->location.y - touch->start.y};
        speed = std::max(touch->speed, std::hypot(step.x, step.y) / std::max(elapsed, shortestStep));
    }
    if (auto move = pointerStep(step, speed))
        return {std::move(*move)};
    return {};
}

std::vector<Message> WatchTouchMapper::touchEnded(Vector p, double t) {
    if (!touch)
        return {};
    auto messages = touchMoved(p, t);
    const double startTime = touch->startTime;
    const double travel = touch->travel;
    const bool holdingBack = touch->isHoldingBack;
    touch.reset();
    if (holdingBack && travel <= configuration.tapMaximumTravel &&
        t - startTime <= configuration.tapMaximumDuration) {
        std::uint8_t count = 1;
        if (lastTap && !(startTime - lastTap->lift > configuration.multiTapInterval))
            count = lastTap->count == 255 ? 255 : static_cast<std::uint8_t>(lastTap->count + 1);
        lastTap = TapChain{t, count};
        messages.push_back(Message::Tap{count});
    } else {
        lastTap.reset();
    }
    return messages;
}

void WatchTouchMapper::cancelTouch() {
    touch.reset();
    lastTap.reset();
}

std::vector<Message> WatchTouchMapper::secondaryClick() {
    lastTap.reset();
    auto messages = crownEnded();
    messages.push_back(Message::RightClick{});
    return messages;
}

std::vector<Message> WatchTouchMapper::crownRotated(double delta, double t) {
    const double amount = delta * configuration.crownScrollSpeed;
    const float f = narrowToFloat(amount);
    if (amount == 0 || !std::isfinite(amount) || f == 0 || !std::isfinite(f))
        return {};
    const auto phase = crownTurned ? ScrollPhase::changed : ScrollPhase::began;
    crownTurned = t;
    return {crownScroll(-f, phase)};
}

std::vector<Message> WatchTouchMapper::crownEnded() {
    if (!crownTurned)
        return {};
    crownTurned.reset();
    return {crownScroll(0, ScrollPhase::ended)};
}

std::vector<Message> WatchTouchMapper::crownIdle(double t) {
    if (crownTurned && t - *crownTurned >= configuration.crownIdleTimeout)
        return crownEnded();
    return {};
}

std::vector<Message> WatchTouchMapper::reset() {
    touch.reset();
    lastTap.reset();
    return crownEnded();
}

// ---- Swipe detector ---------------------------------------------------------------------------------

std::optional<SwipeDirection> WatchSwipeDetector::direction(WatchTouchMapper::Vector a,
                                                            WatchTouchMapper::Vector b, double m) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return std::nullopt;
    if (std::fabs(dy) <= std::fabs(dx)) {
        if (dx != 0 && std::fabs(dx) >= m)
            return dx < 0 ? SwipeDirection::left : SwipeDirection::right;
        return std::nullopt;
    }
    if (std::fabs(dy) >= m)
        return dy < 0 ? SwipeDirection::up : SwipeDirection::down;
    return std::nullopt;
}

namespace {

Message threeFingerSwipe(SwipeDirection direction) {
    return Message::Gesture{Gesture{Gesture::Swipe{3, direction}}};
}

}  // namespace

std::vector<Message> WatchSwipeDetector::touchBegan(WatchTouchMapper::Vector p) {
    touch = Touch{p, false};
    return {};
}

std::vector<Message> WatchSwipeDetector::touchMoved(WatchTouchMapper::Vector p) {
    if (!touch)
        return touchBegan(p);
    if (touch->hasSwiped)
        return {};
    if (auto found = direction(touch->start, p, configuration.minimumDistance)) {
        touch->hasSwiped = true;
        return {threeFingerSwipe(*found)};
    }
    return {};
}

std::vector<Message> WatchSwipeDetector::touchEnded(WatchTouchMapper::Vector p) {
    if (!touch)
        return {};
    std::vector<Message> messages;
    if (!touch->hasSwiped) {
        if (auto found = direction(touch->start, p, configuration.minimumDistance))
            messages.push_back(threeFingerSwipe(*found));
    }
    touch.reset();
    return messages;
}

std::vector<Message> WatchSwipeDetector::cancel() {
    touch.reset();
    return {};
}

}  // namespace TrackpadProtocol
