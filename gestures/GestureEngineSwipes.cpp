// Tracked swipes: the axis lock, progress and velocity, completion, and the dock-swipe events with
// their delayed resends.
#include <algorithm>
#include <cmath>

#include "gestures/GestureEngine.h"

namespace Gestures {
namespace {

using TrackpadProtocol::Gesture;
using TrackpadProtocol::GesturePhase;

SwipeDirection oppositeOf(SwipeDirection direction) {
    switch (direction) {
        case SwipeDirection::left:
            return SwipeDirection::right;
        case SwipeDirection::right:
            return SwipeDirection::left;
        case SwipeDirection::up:
            return SwipeDirection::down;
        case SwipeDirection::down:
            return SwipeDirection::up;
    }
    return direction;
}

double travelAlong(SwipeDirection direction, double x, double y) {
    switch (direction) {
        case SwipeDirection::left:
            return -x;
        case SwipeDirection::right:
            return x;
        case SwipeDirection::up:
            return -y;
        case SwipeDirection::down:
            return y;
    }
    return 0;
}

}  // namespace

TrackedSwipeStyle GestureEngine::styleFor(std::uint8_t fingers, SwipeDirection direction) const {
    TrackedSwipeStyle style = mapping_.trackedStyle(fingers, direction);
    if (std::holds_alternative<TrackedSwipeStyle::Dock>(style.value)) {
        const GestureAction action = mapping_.action(fingers, direction);
        const auto* system = std::get_if<GestureAction::System>(&action.value);
        if (dockSwipeRecipe_ == DockSwipeRecipe::unavailable ||
            (system != nullptr && dockGestureEnabled_ && !dockGestureEnabled_(system->action))) {
            style = {TrackedSwipeStyle::Discrete{action}};
        }
    }
    return style;
}

double GestureEngine::progress(double travel, bool mirrored) const {
    const double distance = configuration_.swipeTrackingDistance;
    if (!(distance > 0) || !std::isfinite(distance)) {
        return 1.0;
    }
    return std::clamp(travel / distance, mirrored ? -1.0 : 0.0, 1.0);
}

double GestureEngine::releaseVelocity(const TrackedSwipe& swipe, double now) const {
    const double distance = configuration_.swipeTrackingDistance;
    const auto first = std::find_if(swipe.samples.begin(), swipe.samples.end(), [&](const auto& sample) {
        return now - sample.time <= configuration_.swipeVelocityWindow;
    });
    if (first == swipe.samples.end() || !(distance > 0)) {
        return 0;
    }
    const TrackedSwipe::Sample& last = swipe.samples.back();
    if (!(first->time < last.time)) {
        return 0;
    }
    return ((last.travel - first->travel) / distance) / (last.time - first->time);
}

EventList GestureEngine::dockEvents(GesturePhaseValue phase, bool vertical, double progressValue,
                                    double velocity) const {
    switch (dockSwipeRecipe_) {
        case DockSwipeRecipe::legacyFields:
            return makeLegacyDockSwipeEvents(phase, vertical, progressValue, velocity, pointer());
        case DockSwipeRecipe::hidEvent:
        case DockSwipeRecipe::unavailable:
            // No IOHIDEvent dock swipes exist on this system.
            return {};
    }
    return {};
}

void GestureEngine::postDockSwipe(GesturePhaseValue phase, bool vertical, double progressValue,
                                  double velocity, bool resend) {
    const EventList events = dockEvents(phase, vertical, progressValue, velocity);
    post(events, EventTap::session);
    if (!resend) {
        return;
    }
    const int generation = dockSwipeGeneration_;
    for (const double delay : configuration_.dockSwipeResendDelays) {
        scheduler_.schedule(delay, [weak = std::weak_ptr<GestureEngine*>(self_), generation, events] {
            const std::shared_ptr<GestureEngine*> engine = weak.lock();
            if (engine && (*engine)->dockSwipeGeneration_ == generation) {
                (*engine)->post(events, EventTap::session);
            }
        });
    }
}

void GestureEngine::handleSwipe(const Gesture::SwipeTracking& message, double now) {
    switch (message.phase) {
        case GesturePhase::began:
            if (trackedSwipe_) {
                releaseSwipe(now, true);
            }
            if (message.fingers == 3 || message.fingers == 4) {
                trackedSwipe_ = TrackedSwipe{};
                trackedSwipe_->fingers = message.fingers;
                applySwipeChange(message.dx, message.dy, now);
            }
            return;
        case GesturePhase::changed:
            if (trackedSwipe_) {
                applySwipeChange(message.dx, message.dy, now);
            }
            return;
        case GesturePhase::ended:
            if (trackedSwipe_) {
                applySwipeChange(message.dx, message.dy, now);
                releaseSwipe(now, true);
            }
            return;
    }
}

void GestureEngine::applySwipeChange(double dx, double dy, double now) {
    TrackedSwipe& swipe = *trackedSwipe_;
    swipe.x += dx;
    swipe.y += dy;
    if (!swipe.direction) {
        const double d = std::fabs(swipe.x) >= std::fabs(swipe.y) ? swipe.x : swipe.y;
        if (std::fabs(d) < configuration_.swipeAxisLockDistance) {
            return;
        }
        const SwipeDirection direction = std::fabs(swipe.y) <= std::fabs(swipe.x)
                                             ? (swipe.x < 0 ? SwipeDirection::left : SwipeDirection::right)
                                             : (swipe.y < 0 ? SwipeDirection::up : SwipeDirection::down);
        swipe.direction = direction;
        swipe.style = styleFor(swipe.fingers, direction);
        swipe.mirrored = false;
        swipe.scale = 1.0;
        if (const auto* dock = std::get_if<TrackedSwipeStyle::Dock>(&swipe.style->value)) {
            const TrackedSwipeStyle other = styleFor(swipe.fingers, oppositeOf(direction));
            const auto* otherDock = std::get_if<TrackedSwipeStyle::Dock>(&other.value);
            swipe.mirrored = otherDock != nullptr && otherDock->vertical == dock->vertical &&
                             otherDock->sign == -dock->sign;
            if (!dock->vertical && spaceSwipeOffset_) {
                swipe.scale = spaceSwipeOffset_(cursorLocation_ ? cursorLocation_() : std::nullopt);
            }
        }
    }
    const double travel = travelAlong(*swipe.direction, swipe.x, swipe.y);
    swipe.samples.push_back({now, travel});
    std::erase_if(swipe.samples,
                  [&](const auto& sample) { return now - sample.time > configuration_.swipeVelocityWindow; });

    if (const auto* dock = std::get_if<TrackedSwipeStyle::Dock>(&swipe.style->value)) {
        const double value = swipe.scale * progress(travel, swipe.mirrored) * dock->sign;
        if (!swipe.dockBegan) {
            ++dockSwipeGeneration_;
            swipe.dockBegan = true;
            swipe.postedProgress = value;
            postDockSwipe(GesturePhaseValue::began, dock->vertical, value, 0, false);
        } else if (value != swipe.postedProgress) {
            swipe.postedProgress = value;
            postDockSwipe(GesturePhaseValue::changed, dock->vertical, value, 0, false);
        }
    } else if (const auto* discrete = std::get_if<TrackedSwipeStyle::Discrete>(&swipe.style->value)) {
        if (!swipe.performed && travel >= configuration_.discreteSwipeDistance) {
            swipe.performed = true;
            const GestureAction action = discrete->action;
            perform(action);
        }
    }
}

void GestureEngine::releaseSwipe(double now, bool withVelocity) {
    const TrackedSwipe swipe = std::move(*trackedSwipe_);
    trackedSwipe_.reset();
    if (!swipe.direction || !swipe.style) {
        return;
    }
    const double p = progress(travelAlong(*swipe.direction, swipe.x, swipe.y), swipe.mirrored);
    const double s = p < 0 ? -1.0 : 1.0;
    const double v = withVelocity ? releaseVelocity(swipe, now) : 0.0;
    const double flick = configuration_.swipeFlickVelocity;
    bool completed = false;
    if (s * v >= flick) {
        completed = p != 0;
    } else if (s * v <= -flick) {
        completed = false;
    } else {
        completed = std::fabs(p) >= configuration_.swipeCompletionProgress;
    }
    if (const auto* dock = std::get_if<TrackedSwipeStyle::Dock>(&swipe.style->value)) {
        if (swipe.dockBegan) {
            const double speed = swipe.scale * std::max(std::fabs(v), flick) * dock->sign;
            postDockSwipe(completed ? GesturePhaseValue::ended : GesturePhaseValue::cancelled, dock->vertical,
                          swipe.scale * p * dock->sign, completed ? s * speed : -s * speed, true);
        }
    } else if (const auto* navigation = std::get_if<TrackedSwipeStyle::Navigation>(&swipe.style->value)) {
        if (completed) {
            perform(GestureAction::navigationSwipe(navigation->direction));
        }
    }
}

}  // namespace Gestures
