#pragma once
// The simulated computer of the watch's demo mode: it reacts to the same input messages a real computer
// would get, so that the watch can show a pointer moving, clicks, scrolling and typed text.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

struct WatchDemoMac {
    struct Point {
        double x = 0;
        double y = 0;
        bool operator==(const Point&) const = default;
    };
    struct Action {
        struct Clicked {
            int count = 0;
            bool operator==(const Clicked&) const = default;
        };
        struct Scrolled {
            bool down = false;
            bool operator==(const Scrolled&) const = default;
        };
        struct Swiped {
            int fingers = 0;
            std::optional<SwipeDirection> direction;
            bool operator==(const Swiped&) const = default;
        };
        struct Typed {
            std::string text;
            bool operator==(const Typed&) const = default;
        };
        struct Pressed {
            KeyCombination combination;
            bool operator==(const Pressed&) const = default;
        };
        struct Moved {
            bool operator==(const Moved&) const = default;
        };
        struct RightClicked {
            bool operator==(const RightClicked&) const = default;
        };
        struct Dragging {
            bool operator==(const Dragging&) const = default;
        };
        struct Dropped {
            bool operator==(const Dropped&) const = default;
        };
        struct Other {
            bool operator==(const Other&) const = default;
        };
        std::variant<Clicked, Scrolled, Swiped, Typed, Pressed, Moved, RightClicked, Dragging, Dropped, Other>
            value;
        bool operator==(const Action&) const = default;
    };

    static constexpr Point screenSize{1000, 625};
    static constexpr std::size_t maxTypedLength = 24;  // characters kept in typedLine

    Point pointer{screenSize.x / 2, screenSize.y / 2};
    bool isButtonDown = false;
    std::optional<Action> lastAction;
    std::int64_t acceptedCount = 0;
    std::int64_t clickCount = 0;  // taps and right clicks
    double scrollOffset = 0;
    std::string typedLine;

    // Watch input that could also be sent to a real computer: its input payload encodes.
    static bool accepts(const Message& message);
    // Applies an accepted message and returns true; a refused message changes nothing.
    bool apply(const Message& message);

    // The direction a tracked swipe of (dx, dy) shows: none for no travel, vertical when it is the longer
    // component, otherwise horizontal (right on a tie).
    static std::optional<SwipeDirection> trackedSwipeDirection(double dx, double dy);

    bool operator==(const WatchDemoMac&) const = default;
};

}  // namespace TrackpadProtocol
