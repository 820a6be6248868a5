#pragma once
// What each three- and four-finger swipe and the pinch do, and how a tracked swipe is carried out; with
// the keyed archive form (JSON) of the mapping types.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

#include "gestures/Shortcuts.h"
#include "protocol/messages/Types.h"

namespace Gestures {

using TrackpadProtocol::SwipeDirection;

enum class SystemAction {
    missionControl,
    applicationWindows,
    showDesktop,
    moveLeftASpace,
    moveRightASpace,
    spotlight
};
inline constexpr SystemAction allSystemActions[] = {
    SystemAction::missionControl, SystemAction::applicationWindows, SystemAction::showDesktop,
    SystemAction::moveLeftASpace, SystemAction::moveRightASpace,    SystemAction::spotlight};
std::string_view rawValue(SystemAction action);
std::optional<SystemAction> systemActionFromRaw(std::string_view raw);
int symbolicHotKeyID(SystemAction action);
KeyStroke defaultKeyStroke(SystemAction action);

enum class NavigationDirection { back, forward };
std::string_view rawValue(NavigationDirection direction);

struct GestureAction {
    struct None {
        friend bool operator==(const None&, const None&) = default;
    };
    struct System {
        SystemAction action = SystemAction::missionControl;
        friend bool operator==(const System&, const System&) = default;
    };
    struct ShortcutAction {
        Shortcut shortcut;
        friend bool operator==(const ShortcutAction&, const ShortcutAction&) = default;
    };
    struct NavigationSwipe {
        NavigationDirection direction = NavigationDirection::back;
        friend bool operator==(const NavigationSwipe&, const NavigationSwipe&) = default;
    };
    std::variant<None, System, ShortcutAction, NavigationSwipe> value;
    friend bool operator==(const GestureAction&, const GestureAction&) = default;

    static GestureAction none() { return {None{}}; }
    static GestureAction system(SystemAction a) { return {System{a}}; }
    static GestureAction shortcut(Shortcut s) { return {ShortcutAction{std::move(s)}}; }
    static GestureAction navigationSwipe(NavigationDirection d) { return {NavigationSwipe{d}}; }
};

struct SwipeActions {
    GestureAction left;
    GestureAction right;
    GestureAction up;
    GestureAction down;
    friend bool operator==(const SwipeActions&, const SwipeActions&) = default;
    const GestureAction& operator[](SwipeDirection direction) const;
    static const SwipeActions standard;
};

struct PinchAction {
    struct None {
        friend bool operator==(const None&, const None&) = default;
    };
    struct Shortcuts {
        Shortcut zoomIn;
        Shortcut zoomOut;
        double step = 0;
        friend bool operator==(const Shortcuts&, const Shortcuts&) = default;
    };
    struct Magnify {
        friend bool operator==(const Magnify&, const Magnify&) = default;
    };
    std::variant<None, Shortcuts, Magnify> value;
    friend bool operator==(const PinchAction&, const PinchAction&) = default;
};

struct TrackedSwipeDock {
    bool vertical = false;
    double sign = 1;
    friend bool operator==(const TrackedSwipeDock&, const TrackedSwipeDock&) = default;
};

struct TrackedSwipeStyle {
    using Dock = TrackedSwipeDock;
    struct Navigation {
        NavigationDirection direction = NavigationDirection::back;
        friend bool operator==(const Navigation&, const Navigation&) = default;
    };
    struct Discrete {
        GestureAction action;
        friend bool operator==(const Discrete&, const Discrete&) = default;
    };
    std::variant<Dock, Navigation, Discrete> value;
    friend bool operator==(const TrackedSwipeStyle&, const TrackedSwipeStyle&) = default;
};

struct GestureMapping {
    SwipeActions threeFingerSwipes;
    SwipeActions fourFingerSwipes;
    PinchAction pinch;
    bool followsFingers = true;
    friend bool operator==(const GestureMapping&, const GestureMapping&) = default;

    GestureAction action(std::uint8_t fingers, SwipeDirection direction) const;
    TrackedSwipeStyle trackedStyle(std::uint8_t fingers, SwipeDirection direction) const;

    static const GestureMapping& defaultMapping();
};

// A keyed archive that does not hold what its type needs. Its message is the description, such as
// "Invalid number of keys found, expected one.".
class ArchiveError : public std::runtime_error {
  public:
    enum class Kind { typeMismatch, keyNotFound, dataCorrupted };
    ArchiveError(Kind kind, const std::string& description) : std::runtime_error(description), kind(kind) {}
    Kind kind;
};

// JSON archive form. Decoding throws ArchiveError.
std::string encode(const GestureMapping& mapping);
GestureMapping decodeGestureMapping(std::string_view json);
std::string encode(const Shortcut& shortcut);
Shortcut decodeShortcut(std::string_view json);
Shortcut::Key decodeShortcutKey(std::string_view json);
std::string encode(const GestureAction& action);
GestureAction decodeGestureAction(std::string_view json);

}  // namespace Gestures
