#pragma once
// The gesture engine's output layer: builders of every event it posts (key strokes with their modifier
// presses, typed text, magnify, navigation swipes, legacy dock swipes) as portable event records, the
// readers of system state it consults, and the posting seam.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "gestures/GestureMapping.h"
#include "gestures/Shortcuts.h"
#include "injector/InputEvent.h"
#include "protocol/messages/Uuid.h"

namespace platform {
class Executor;
}
namespace Injector {
class HIDEventPoster;
class XTestKeyboard;
}  // namespace Injector

namespace Gestures {

using Injector::InputEvent;
using Injector::Point;
using EventList = std::vector<InputEvent>;

// Where an event is posted: key events at the HID tap, gesture, magnify, navigation and dock events at
// the session tap.
enum class EventTap : std::uint32_t { hid = 0, session = 1 };

// How dock swipes are made: an IOHIDEvent attached to an event, private event fields, or not at all.
enum class DockSwipeRecipe { hidEvent, legacyFields, unavailable };

// Phases of magnify and dock-swipe events: 0 began, 1 changed, 2 ended, 3 cancelled.
enum class GesturePhaseValue : int { began = 0, changed = 1, ended = 2, cancelled = 3 };
std::int64_t eventFieldValue(GesturePhaseValue phase);

// Nothing for a key that has no Linux counterpart.
EventList makeKeyStrokeEvents(std::uint16_t keyCode, Modifiers flags, std::int64_t userData);
EventList makeTextEvents(const std::string& text, std::int64_t userData);
// Chunks of at most 20 UTF-16 units, never splitting a scalar, of one character.
std::vector<std::u16string> utf16Chunks(const std::u32string& character);
InputEvent makeGestureEvent(Injector::EventType type, const std::map<std::uint32_t, std::int64_t>& integers,
                            const std::map<std::uint32_t, double>& doubles, Point location);
EventList makeNavigationSwipeEvents(NavigationDirection direction, Point location);
InputEvent makeMagnifyEvent(GesturePhaseValue phase, double magnification, Point location);
EventList makeLegacyDockSwipeEvents(GesturePhaseValue phase, bool vertical, double progress, double velocity,
                                    Point location);

// Linux has neither the IOHIDEvent dock-swipe functions nor Spaces to read, so dock swipes are
// unavailable (tracked swipes fall back to their discrete actions) and the Space count is unknown.
DockSwipeRecipe currentDockSwipeRecipe();
namespace SpacesLayout {
std::optional<int> spaceCount(std::optional<Point> point);
// 2.0 when the count is unknown or below 2, else 1 / (n - 1) + 1.
double spaceSwipeOffset(std::optional<int> count);
double spaceSwipeOffset(std::optional<Point> point);
}  // namespace SpacesLayout
// The Dock's own gesture switches. No desktop here has them, so each reads as absent: on, except
// application windows.
namespace DockGesturePreferences {
bool isEnabled(SystemAction action, std::optional<bool> stored = std::nullopt);
}

class GestureEventPoster {
  public:
    virtual ~GestureEventPoster() = default;
    virtual void post(const InputEvent& event, EventTap tap) = 0;
    // The events of one message, in order: a poster that can keeps their keys and text together.
    virtual void postAll(const EventList& events, EventTap tap) {
        for (const InputEvent& event : events) {
            post(event, tap);
        }
    }
};

// Posts through the X server's XTEST extension on a connection of its own (Injector::HIDEventPoster's
// translation: keys, modifiers and text through the shared XTEST keyboard, navigation swipes as the
// back and forward buttons; magnify and dock events have no counterpart and are left out). Keys go to
// `keyboard`, the process's one keyboard (none: the poster makes its own), which types on its own
// worker and puts its key bindings back by itself.
//
// Thread: the executor's.
class SystemGestureEventPoster final : public GestureEventPoster {
  public:
    explicit SystemGestureEventPoster(const std::string& displayName = {},
                                      platform::Executor* executor = nullptr,
                                      std::shared_ptr<Injector::XTestKeyboard> keyboard = nullptr);
    ~SystemGestureEventPoster() override;
    void post(const InputEvent& event, EventTap tap) override;
    // The keys and text go to the keyboard as one unit, which no other phone's keys interrupt.
    void postAll(const EventList& events, EventTap tap) override;
    // The phone whose messages are carried out now (none: the poster's own): each phone's keys and text
    // wait for the keyboard in a queue of their own.
    void setSource(const std::optional<TrackpadProtocol::UUID>& device);
    // The phone is gone: the keys and text it queued are dropped, and its keys let go.
    void dropSource(const TrackpadProtocol::UUID& device);
    void retainSources(const std::unordered_set<TrackpadProtocol::UUID>& devices);
    bool isAvailable() const;
    // Puts back every temporary key binding, waiting as needed.
    void settle();
    // Waits until the X server has carried out everything posted so far.
    void sync();

  private:
    void scheduleSettle();

    std::unique_ptr<Injector::HIDEventPoster> poster_;
    platform::Executor* executor_;
    std::shared_ptr<bool> alive_;
    bool settleScheduled_ = false;
};

}  // namespace Gestures
