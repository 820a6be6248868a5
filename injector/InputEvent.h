#pragma once
// The portable record of one input event: what the event builders return and what an EventPoster
// posts. It keeps the Core Graphics numbering of event types and fields, so what the builders set can
// be checked field by field on any system; a poster translates what its system can carry and leaves
// the rest out.
#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "injector/ScreenGeometry.h"

namespace Injector {

// Written into the user-data field of every event we post, so our own events can be told apart.
inline constexpr std::int64_t injectedEventTag = 0x54524B50;

enum class EventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    keyDown = 10,
    keyUp = 11,
    // A modifier key going down or up; the event's flags are the modifiers held after it.
    flagsChanged = 12,
    systemDefined = 14,
    scrollWheel = 22,
    // Gesture events (magnify, navigation swipe) and dock-control events, described by their fields.
    gesture = 29,
    dockControl = 30,
};

enum class MouseButton : std::uint32_t { left = 0, right = 1 };

// Event fields by their Core Graphics numbers; other numbers can be used through static_cast.
enum class EventField : std::uint32_t {
    mouseEventClickState = 1,
    mouseEventDeltaX = 4,
    mouseEventDeltaY = 5,
    eventSourceUserData = 42,
    scrollWheelEventScrollPhase = 99,
    scrollWheelEventMomentumPhase = 123,
};

enum class ScrollEventUnit : std::uint32_t { pixel = 0, line = 1 };

// The amounts of a scroll-wheel event: wheel 1 is vertical, wheel 2 horizontal.
struct ScrollWheelAmounts {
    ScrollEventUnit units = ScrollEventUnit::pixel;
    std::uint32_t wheelCount = 0;
    std::int32_t wheel1 = 0;
    std::int32_t wheel2 = 0;
    std::int32_t wheel3 = 0;
    friend bool operator==(const ScrollWheelAmounts&, const ScrollWheelAmounts&) = default;
};

// The payload of a system-defined event (media keys use subtype 8).
struct SystemDefinedData {
    std::int16_t subtype = 0;
    std::int64_t data1 = 0;
    std::int64_t data2 = 0;
    std::int64_t windowNumber = 0;
    friend bool operator==(const SystemDefinedData&, const SystemDefinedData&) = default;
};

class InputEvent {
  public:
    InputEvent() = default;
    // A mouse event at `location` for `button`.
    static InputEvent mouse(EventType type, Point location, MouseButton button);
    // A scroll-wheel event; its location is set afterwards.
    static InputEvent scrollWheel(ScrollEventUnit units, std::uint32_t wheelCount, std::int32_t wheel1,
                                  std::int32_t wheel2, std::int32_t wheel3);
    static InputEvent systemDefined(Point location, std::uint64_t flags, double timestamp,
                                    SystemDefinedData data);
    // A keyboard event (key down, key up or flags changed) of a virtual key code.
    static InputEvent keyboard(EventType type, std::uint16_t keyCode, std::uint64_t flags);

    EventType type = EventType::mouseMoved;
    Point location;
    std::uint64_t flags = 0;
    // Seconds of system uptime; only system-defined events set it.
    double timestamp = 0;
    MouseButton button = MouseButton::left;
    ScrollWheelAmounts wheel;
    SystemDefinedData system;
    // Keyboard events: the virtual key code, and the text the event types when it carries one (UTF-16,
    // as the key event's Unicode string), which then stands for the key.
    std::uint16_t keyCode = 0;
    std::u16string unicodeText;

    // A field that was never set reads 0.
    std::int64_t integerField(EventField field) const { return find(integers_, field); }
    void setIntegerField(EventField field, std::int64_t value) { store(integers_, field, value); }
    double doubleField(EventField field) const { return find(doubles_, field); }
    void setDoubleField(EventField field, double value) { store(doubles_, field, value); }

    friend bool operator==(const InputEvent&, const InputEvent&) = default;

  private:
    // Few fields are set per event, so sorted small vectors beat maps and keep equality simple.
    template <typename T>
    using Fields = std::vector<std::pair<EventField, T>>;

    template <typename T>
    static T find(const Fields<T>& fields, EventField field) {
        auto it = std::lower_bound(fields.begin(), fields.end(), field,
                                   [](const auto& entry, EventField f) { return entry.first < f; });
        return it != fields.end() && it->first == field ? it->second : T{};
    }
    template <typename T>
    static void store(Fields<T>& fields, EventField field, T value) {
        auto it = std::lower_bound(fields.begin(), fields.end(), field,
                                   [](const auto& entry, EventField f) { return entry.first < f; });
        if (it != fields.end() && it->first == field) {
            it->second = value;
        } else {
            fields.insert(it, {field, value});
        }
    }

    Fields<std::int64_t> integers_;
    Fields<double> doubles_;
};

}  // namespace Injector
