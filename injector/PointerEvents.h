#pragma once
// The pointer state of the injector and the builders that turn one pointer message into the events to
// post, in order. The builders never post and never read the clock (the time of a click is passed in).
// Lives on the injector's thread.
#include <cstdint>
#include <iterator>
#include <optional>
#include <vector>

#include "injector/InputEvent.h"
#include "injector/ScreenGeometry.h"
#include "protocol/messages/Types.h"

namespace Injector {

using TrackpadProtocol::DragPhase;
using TrackpadProtocol::ScrollPhase;

using EventList = std::vector<InputEvent>;

// Appends the events of `from` to `to`, keeping their order.
inline void append(EventList& to, EventList&& from) {
    to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// Carries the fractions of deltas over to the next one, so slow motion is never lost to truncation.
struct SubpixelAccumulator {
    double remainder = 0;
    // Adds the delta to the carried fraction and returns the whole part (toward zero, clamped to 32
    // bits); a non-finite delta gives 0 and changes nothing.
    std::int32_t take(double delta);
};

enum class ScrollState { idle, scrolling, momentum };

struct LastClick {
    int tapNumber = 0;
    int clickState = 0;
    double time = 0;
    friend bool operator==(const LastClick&, const LastClick&) = default;
};

class PointerEventBuilder {
  public:
    // Taps continue a click sequence while they follow each other within the larger of the two bounds.
    PointerEventBuilder(double doubleClickInterval, double tapSequenceTimeout)
        : doubleClickInterval_(doubleClickInterval), tapSequenceTimeout_(tapSequenceTimeout) {}

    // Moves the pointer by the phone's deltas in points, clamped to the displays.
    EventList move(double dx, double dy);
    EventList releaseLeftButton();
    // `count` is the tap's number within the phone's tap sequence (1, 2, 3 ...).
    EventList click(int count, double now);
    EventList rightClick();
    EventList drag(DragPhase phase, double dx, double dy);
    EventList scroll(ScrollPhase phase, double dx, double dy);
    // Ends a running scroll or momentum.
    EventList endScroll();

    // State the injector reads and resets; none of it is checked here beyond what the builders need.
    std::optional<Point> location;
    std::vector<Rect> displays;
    bool leftButtonHeld = false;
    std::optional<LastClick> lastClick;
    ScrollState scrollState = ScrollState::idle;
    SubpixelAccumulator pointerDeltaX;
    SubpixelAccumulator pointerDeltaY;
    SubpixelAccumulator scrollDeltaX;
    SubpixelAccumulator scrollDeltaY;

  private:
    InputEvent mouseEvent(EventType type, MouseButton button, std::int64_t clickState) const;
    InputEvent scrollEvent(std::int32_t wheel1, std::int32_t wheel2, std::int64_t scrollPhase,
                           std::int64_t momentumPhase) const;
    // Takes the scroll deltas (vertical first) and returns the one event, or nothing when both whole
    // amounts are 0 and `always` is false.
    void appendScroll(EventList& events, double dx, double dy, std::int64_t scrollPhase,
                      std::int64_t momentumPhase, bool always);

    double doubleClickInterval_;
    double tapSequenceTimeout_;
};

}  // namespace Injector
