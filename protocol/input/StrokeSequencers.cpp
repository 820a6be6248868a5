#include "protocol/input/StrokeSequencers.h"

namespace TrackpadProtocol {

namespace {

StrokePhase strokePhase(GesturePhase phase) {
    switch (phase) {
        case GesturePhase::began:
            return StrokePhase::began;
        case GesturePhase::changed:
            return StrokePhase::changed;
        case GesturePhase::ended:
            break;
    }
    return StrokePhase::ended;
}

// Gestures have no momentum, so their trackers only ever decide on these three phases.
GesturePhase gesturePhase(StrokePhase phase) {
    switch (phase) {
        case StrokePhase::began:
            return GesturePhase::began;
        case StrokePhase::changed:
            return GesturePhase::changed;
        default:
            return GesturePhase::ended;
    }
}

StrokePhase strokePhase(ScrollPhase phase) {
    return static_cast<StrokePhase>(phase);
}
ScrollPhase scrollPhase(StrokePhase phase) {
    return static_cast<ScrollPhase>(phase);
}

template <class Stamp>
std::optional<StrokeStamp> strokeStamp(const std::optional<Stamp>& stamp) {
    if (!stamp)
        return std::nullopt;
    return static_cast<const StrokeStamp&>(*stamp);
}

Message pinchMessage(StrokePhase phase) {
    return Message::Gesture{Gesture{Gesture::Pinch{gesturePhase(phase), 0, std::nullopt}}};
}

Message swipeMessage(StrokePhase phase, std::uint8_t fingers) {
    return Message::Gesture{
        Gesture{Gesture::SwipeTracking{gesturePhase(phase), fingers, 0, 0, std::nullopt}}};
}

Message scrollMessage(StrokePhase phase) {
    return Message::Scroll{0, 0, scrollPhase(phase), std::nullopt};
}

// Emits what the tracker decided: the closing phase of the previous stroke, the supplied phases, the
// message itself. `make` builds a supplied message; `reopen` runs between closing and supplying, when the
// message opens a stroke of its own.
template <class Make, class Reopen>
void emit(const StrokeTracker::Decision& decision, const Message& message, std::vector<Message>& out,
          Make make, Reopen reopen) {
    if (decision.close)
        out.push_back(make(*decision.close));
    if (decision.opens)
        reopen();
    for (std::uint8_t i = 0; i < decision.suppliedCount; ++i)
        out.push_back(make(decision.supplied[i]));
    if (decision.emit)
        out.push_back(message);
}

}  // namespace

// ---- Pinch -------------------------------------------------------------------------------------------

std::vector<Message> PinchSequencer::process(const Message& message) {
    std::vector<Message> out;
    process(message, out);
    return out;
}

void PinchSequencer::process(const Message& message, std::vector<Message>& out) {
    const auto* gesture = message.as<Message::Gesture>();
    const auto* pinch = gesture ? std::get_if<Gesture::Pinch>(&gesture->gesture.kind) : nullptr;
    if (!pinch) {
        out.push_back(message);
        return;
    }
    const auto decision = tracker_.step(strokePhase(pinch->phase), strokeStamp(pinch->stamp));
    emit(decision, message, out, pinchMessage, [] {});
}

std::vector<Message> PinchSequencer::finish() {
    std::vector<Message> out;
    finish(out);
    return out;
}

void PinchSequencer::finish(std::vector<Message>& out) {
    if (auto closing = tracker_.finish())
        out.push_back(pinchMessage(*closing));
}

// ---- Swipe tracking ------------------------------------------------------------------------------------

std::vector<Message> SwipeSequencer::process(const Message& message) {
    std::vector<Message> out;
    process(message, out);
    return out;
}

void SwipeSequencer::process(const Message& message, std::vector<Message>& out) {
    const auto* gesture = message.as<Message::Gesture>();
    const auto* swipe = gesture ? std::get_if<Gesture::SwipeTracking>(&gesture->gesture.kind) : nullptr;
    if (!swipe) {
        out.push_back(message);
        return;
    }
    const auto decision = tracker_.step(strokePhase(swipe->phase), strokeStamp(swipe->stamp));
    // A stroke keeps the finger count it opened with, for the phases supplied to close it.
    emit(
        decision, message, out, [this](StrokePhase phase) { return swipeMessage(phase, fingers_); },
        [this, swipe] { fingers_ = swipe->fingers; });
}

std::vector<Message> SwipeSequencer::finish() {
    std::vector<Message> out;
    finish(out);
    return out;
}

void SwipeSequencer::finish(std::vector<Message>& out) {
    if (auto closing = tracker_.finish())
        out.push_back(swipeMessage(*closing, fingers_));
}

// ---- Scroll --------------------------------------------------------------------------------------------

std::vector<Message> ScrollSequencer::process(const Message& message) {
    std::vector<Message> out;
    process(message, out);
    return out;
}

void ScrollSequencer::process(const Message& message, std::vector<Message>& out) {
    const auto* scroll = message.as<Message::Scroll>();
    if (!scroll) {
        out.push_back(message);
        return;
    }
    const auto decision = tracker_.step(strokePhase(scroll->phase), strokeStamp(scroll->stamp));
    emit(decision, message, out, scrollMessage, [] {});
}

std::vector<Message> ScrollSequencer::finish() {
    std::vector<Message> out;
    finish(out);
    return out;
}

void ScrollSequencer::finish(std::vector<Message>& out) {
    if (auto closing = tracker_.finish())
        out.push_back(scrollMessage(*closing));
}

}  // namespace TrackpadProtocol
