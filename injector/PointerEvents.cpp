#include "injector/PointerEvents.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Injector {
namespace {

// Values of the scroll-phase and momentum-phase fields.
constexpr std::int64_t scrollPhaseNone = 0;
constexpr std::int64_t scrollPhaseBegan = 1;
constexpr std::int64_t scrollPhaseChanged = 2;
constexpr std::int64_t scrollPhaseEnded = 4;
constexpr std::int64_t momentumPhaseNone = 0;
constexpr std::int64_t momentumPhaseBegin = 1;
constexpr std::int64_t momentumPhaseContinue = 2;
constexpr std::int64_t momentumPhaseEnd = 3;

}  // namespace

std::int32_t SubpixelAccumulator::take(double delta) {
    if (!std::isfinite(delta)) {
        return 0;
    }
    const double value = delta + remainder;
    const double whole = std::trunc(value);
    remainder = value - whole;
    constexpr double lowest = std::numeric_limits<std::int32_t>::min();
    constexpr double highest = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::clamp(whole, lowest, highest));
}

InputEvent PointerEventBuilder::mouseEvent(EventType type, MouseButton button,
                                           std::int64_t clickState) const {
    InputEvent event = InputEvent::mouse(type, location.value_or(Point{}), button);
    event.setIntegerField(EventField::mouseEventClickState, clickState);
    event.setIntegerField(EventField::eventSourceUserData, injectedEventTag);
    return event;
}

InputEvent PointerEventBuilder::scrollEvent(std::int32_t wheel1, std::int32_t wheel2,
                                            std::int64_t scrollPhase, std::int64_t momentumPhase) const {
    InputEvent event = InputEvent::scrollWheel(ScrollEventUnit::pixel, 2, wheel1, wheel2, 0);
    event.location = location.value_or(Point{});
    event.setIntegerField(EventField::eventSourceUserData, injectedEventTag);
    event.setIntegerField(EventField::scrollWheelEventScrollPhase, scrollPhase);
    event.setIntegerField(EventField::scrollWheelEventMomentumPhase, momentumPhase);
    return event;
}

EventList PointerEventBuilder::move(double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy) || (dx == 0 && dy == 0)) {
        return {};
    }
    const Point from = location.value_or(Point{});
    const Point target{from.x + dx, from.y + dy};
    if (!std::isfinite(target.x) || !std::isfinite(target.y)) {
        return {};
    }
    location = clampToDisplays(target, displays);
    InputEvent event = mouseEvent(leftButtonHeld ? EventType::leftMouseDragged : EventType::mouseMoved,
                                  MouseButton::left, leftButtonHeld ? 1 : 0);
    // The delta fields report the phone's own motion, not what is left of it after clamping.
    event.setIntegerField(EventField::mouseEventDeltaX, pointerDeltaX.take(dx));
    event.setIntegerField(EventField::mouseEventDeltaY, pointerDeltaY.take(dy));
    return {std::move(event)};
}

EventList PointerEventBuilder::releaseLeftButton() {
    leftButtonHeld = false;
    return {mouseEvent(EventType::leftMouseUp, MouseButton::left, 1)};
}

EventList PointerEventBuilder::click(int count, double now) {
    EventList events = leftButtonHeld ? releaseLeftButton() : EventList{};
    // fmax, so that a double-click interval the desktop could not give (NaN) leaves the other bound
    // in force instead of ending every click sequence.
    const double window = std::fmax(doubleClickInterval_, tapSequenceTimeout_);
    // The phone numbers the taps of one sequence; only consecutive numbers within the window raise
    // the click state. There is deliberately no distance test.
    int clickState = 1;
    if (lastClick && lastClick->tapNumber == count - 1 && now - lastClick->time <= window) {
        clickState = lastClick->clickState + 1;
    }
    events.push_back(mouseEvent(EventType::leftMouseDown, MouseButton::left, clickState));
    events.push_back(mouseEvent(EventType::leftMouseUp, MouseButton::left, clickState));
    lastClick = LastClick{count, clickState, now};
    return events;
}

EventList PointerEventBuilder::rightClick() {
    EventList events = leftButtonHeld ? releaseLeftButton() : EventList{};
    events.push_back(mouseEvent(EventType::rightMouseDown, MouseButton::right, 1));
    events.push_back(mouseEvent(EventType::rightMouseUp, MouseButton::right, 1));
    lastClick.reset();
    return events;
}

EventList PointerEventBuilder::drag(DragPhase phase, double dx, double dy) {
    EventList events;
    switch (phase) {
        case DragPhase::began:
            // The press happens where the pointer is before this message's delta; a held button is
            // not pressed twice.
            if (!leftButtonHeld) {
                events.push_back(mouseEvent(EventType::leftMouseDown, MouseButton::left, 1));
                leftButtonHeld = true;
            }
            lastClick.reset();
            append(events, move(dx, dy));
            break;
        case DragPhase::changed:
            events = move(dx, dy);
            break;
        case DragPhase::ended:
            events = move(dx, dy);
            if (leftButtonHeld) {
                append(events, releaseLeftButton());
            }
            break;
    }
    return events;
}

void PointerEventBuilder::appendScroll(EventList& events, double dx, double dy, std::int64_t scrollPhase,
                                       std::int64_t momentumPhase, bool always) {
    const std::int32_t dyWhole = scrollDeltaY.take(dy);
    const std::int32_t dxWhole = scrollDeltaX.take(dx);
    if (always || dyWhole != 0 || dxWhole != 0) {
        events.push_back(scrollEvent(dyWhole, dxWhole, scrollPhase, momentumPhase));
    }
}

EventList PointerEventBuilder::scroll(ScrollPhase phase, double dx, double dy) {
    if (!std::isfinite(dx) || !std::isfinite(dy)) {
        return {};
    }
    EventList events;
    const auto begin = [&] {
        events = endScroll();
        scrollDeltaX.remainder = 0;
        scrollDeltaY.remainder = 0;
        appendScroll(events, dx, dy, scrollPhaseBegan, momentumPhaseNone, true);
        scrollState = ScrollState::scrolling;
    };
    switch (phase) {
        case ScrollPhase::began:
            begin();
            break;
        case ScrollPhase::changed:
            if (scrollState == ScrollState::scrolling) {
                appendScroll(events, dx, dy, scrollPhaseChanged, momentumPhaseNone, false);
            } else {
                begin();
            }
            break;
        case ScrollPhase::ended:
            if (scrollState == ScrollState::scrolling) {
                appendScroll(events, dx, dy, scrollPhaseEnded, momentumPhaseNone, true);
                scrollState = ScrollState::idle;
            }
            break;
        case ScrollPhase::momentum:
            if (scrollState == ScrollState::momentum) {
                appendScroll(events, dx, dy, scrollPhaseNone, momentumPhaseContinue, false);
            } else {
                // Momentum keeps the fractions of the scroll it follows.
                events = endScroll();
                appendScroll(events, dx, dy, scrollPhaseNone, momentumPhaseBegin, true);
                scrollState = ScrollState::momentum;
            }
            break;
        case ScrollPhase::momentumEnded:
            if (scrollState == ScrollState::momentum) {
                appendScroll(events, dx, dy, scrollPhaseNone, momentumPhaseEnd, true);
                scrollState = ScrollState::idle;
            }
            break;
    }
    return events;
}

EventList PointerEventBuilder::endScroll() {
    EventList events;
    switch (scrollState) {
        case ScrollState::idle:
            break;
        case ScrollState::scrolling:
            scrollState = ScrollState::idle;
            appendScroll(events, 0, 0, scrollPhaseEnded, momentumPhaseNone, true);
            break;
        case ScrollState::momentum:
            scrollState = ScrollState::idle;
            appendScroll(events, 0, 0, scrollPhaseNone, momentumPhaseEnd, true);
            break;
    }
    return events;
}

}  // namespace Injector
