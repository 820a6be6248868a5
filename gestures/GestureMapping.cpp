#include "gestures/GestureMapping.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace Gestures {
namespace {

using nlohmann::json;
using Kind = ArchiveError::Kind;

constexpr std::string_view actionNames[] = {"missionControl", "applicationWindows", "showDesktop",
                                            "moveLeftASpace", "moveRightASpace",    "spotlight"};

[[noreturn]] void fail(Kind kind, const std::string& description) {
    throw ArchiveError(kind, description);
}

const json& member(const json& object, const char* key) {
    if (!object.is_object()) {
        fail(Kind::typeMismatch,
             "Expected to decode Dictionary<String, Any> but found another value instead.");
    }
    const auto found = object.find(key);
    if (found == object.end()) {
        fail(Kind::keyNotFound, std::string("No value associated with key \"") + key + "\".");
    }
    return *found;
}

// The one key of an enum object that names a case; keys naming no case are not counted.
std::string caseKey(const json& object, std::initializer_list<const char*> cases) {
    if (!object.is_object()) {
        fail(Kind::typeMismatch,
             "Expected to decode Dictionary<String, Any> but found another value instead.");
    }
    std::string found;
    int count = 0;
    for (const char* name : cases) {
        if (object.contains(name)) {
            found = name;
            ++count;
        }
    }
    if (count != 1) {
        fail(Kind::typeMismatch, "Invalid number of keys found, expected one.");
    }
    return found;
}

// A case without payload still has a keyed container as its body, as the decoder of such a case expects.
void expectEmptyCaseBody(const json& body) {
    if (!body.is_object()) {
        fail(Kind::typeMismatch,
             "Expected to decode Dictionary<String, Any> but found another value instead.");
    }
}

std::string stringValue(const json& value) {
    if (!value.is_string()) {
        fail(Kind::typeMismatch, "Expected to decode String but found another value instead.");
    }
    return value.get<std::string>();
}

json encodeKey(const Shortcut::Key& key) {
    if (const auto* code = std::get_if<Shortcut::Code>(&key)) {
        return {{"code", {{"_0", code->code}}}};
    }
    return {{"character", {{"_0", std::get<Shortcut::Character>(key).character}}}};
}

Shortcut::Key decodeKey(const json& object) {
    const std::string name = caseKey(object, {"code", "character"});
    const json& payload = member(member(object, name.c_str()), "_0");
    if (name == "code") {
        if (!payload.is_number_integer() || payload.get<std::int64_t>() < 0 ||
            payload.get<std::int64_t>() > 0xFFFF) {
            fail(Kind::dataCorrupted, "Parsed JSON number does not fit in UInt16.");
        }
        return Shortcut::Code{payload.get<std::uint16_t>()};
    }
    return Shortcut::Character{stringValue(payload)};
}

json encodeShortcut(const Shortcut& shortcut) {
    return {{"key", encodeKey(shortcut.key)}, {"modifiers", shortcut.modifiers.rawValue}};
}

Shortcut decodeShortcutObject(const json& object) {
    Shortcut shortcut;
    shortcut.key = decodeKey(member(object, "key"));
    const json& modifiers = member(object, "modifiers");
    if (!modifiers.is_number_unsigned() &&
        !(modifiers.is_number_integer() && modifiers.get<std::int64_t>() >= 0)) {
        fail(Kind::typeMismatch, "Expected to decode UInt64 but found another value instead.");
    }
    shortcut.modifiers = Modifiers{modifiers.get<std::uint64_t>()};
    return shortcut;
}

json encodeAction(const GestureAction& action) {
    return std::visit(
        [](const auto& value) -> json {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, GestureAction::None>) {
                return {{"none", json::object()}};
            } else if constexpr (std::is_same_v<T, GestureAction::System>) {
                return {{"system", {{"_0", rawValue(value.action)}}}};
            } else if constexpr (std::is_same_v<T, GestureAction::ShortcutAction>) {
                return {{"shortcut", {{"_0", encodeShortcut(value.shortcut)}}}};
            } else {
                return {{"navigationSwipe", {{"_0", rawValue(value.direction)}}}};
            }
        },
        action.value);
}

GestureAction decodeAction(const json& object) {
    const std::string name = caseKey(object, {"none", "system", "shortcut", "navigationSwipe"});
    const json& body = member(object, name.c_str());
    if (name == "none") {
        expectEmptyCaseBody(body);
        return GestureAction::none();
    }
    const json& payload = member(body, "_0");
    if (name == "system") {
        const std::optional<SystemAction> action = systemActionFromRaw(stringValue(payload));
        if (!action) {
            fail(Kind::dataCorrupted,
                 "Cannot initialize SystemAction from invalid String value " + stringValue(payload));
        }
        return GestureAction::system(*action);
    }
    if (name == "shortcut") {
        return GestureAction::shortcut(decodeShortcutObject(payload));
    }
    const std::string direction = stringValue(payload);
    if (direction != "back" && direction != "forward") {
        fail(Kind::dataCorrupted,
             "Cannot initialize NavigationDirection from invalid String value " + direction);
    }
    return GestureAction::navigationSwipe(direction == "back" ? NavigationDirection::back
                                                              : NavigationDirection::forward);
}

json encodeSwipes(const SwipeActions& swipes) {
    return {{"left", encodeAction(swipes.left)},
            {"right", encodeAction(swipes.right)},
            {"up", encodeAction(swipes.up)},
            {"down", encodeAction(swipes.down)}};
}

SwipeActions decodeSwipes(const json& object) {
    return {decodeAction(member(object, "left")), decodeAction(member(object, "right")),
            decodeAction(member(object, "up")), decodeAction(member(object, "down"))};
}

json encodePinch(const PinchAction& pinch) {
    if (const auto* shortcuts = std::get_if<PinchAction::Shortcuts>(&pinch.value)) {
        return {{"shortcuts",
                 {{"zoomIn", encodeShortcut(shortcuts->zoomIn)},
                  {"zoomOut", encodeShortcut(shortcuts->zoomOut)},
                  {"step", shortcuts->step}}}};
    }
    return {{std::holds_alternative<PinchAction::Magnify>(pinch.value) ? "magnify" : "none", json::object()}};
}

PinchAction decodePinch(const json& object) {
    const std::string name = caseKey(object, {"none", "shortcuts", "magnify"});
    const json& body = member(object, name.c_str());
    if (name == "none") {
        expectEmptyCaseBody(body);
        return {PinchAction::None{}};
    }
    if (name == "magnify") {
        expectEmptyCaseBody(body);
        return {PinchAction::Magnify{}};
    }
    const json& step = member(body, "step");
    if (!step.is_number()) {
        fail(Kind::typeMismatch, "Expected to decode Double but found another value instead.");
    }
    if (!std::isfinite(step.get<double>())) {
        fail(Kind::dataCorrupted, "Parsed JSON number is not representable as a Double.");
    }
    return {PinchAction::Shortcuts{decodeShortcutObject(member(body, "zoomIn")),
                                   decodeShortcutObject(member(body, "zoomOut")), step.get<double>()}};
}

json parse(std::string_view text) {
    json value = json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        fail(Kind::dataCorrupted, "The given data was not valid JSON.");
    }
    return value;
}

}  // namespace

std::string_view rawValue(SystemAction action) {
    return actionNames[static_cast<int>(action)];
}

std::optional<SystemAction> systemActionFromRaw(std::string_view raw) {
    for (const SystemAction action : allSystemActions) {
        if (rawValue(action) == raw) {
            return action;
        }
    }
    return std::nullopt;
}

int symbolicHotKeyID(SystemAction action) {
    constexpr int ids[] = {32, 33, 36, 79, 81, 64};
    return ids[static_cast<int>(action)];
}

KeyStroke defaultKeyStroke(SystemAction action) {
    const Modifiers controlFn = Modifiers::control | Modifiers::function;
    switch (action) {
        case SystemAction::missionControl:
            return {KeyCode::upArrow, controlFn};
        case SystemAction::applicationWindows:
            return {KeyCode::downArrow, controlFn};
        case SystemAction::showDesktop:
            return {KeyCode::f11, Modifiers::function};
        case SystemAction::moveLeftASpace:
            return {KeyCode::leftArrow, controlFn};
        case SystemAction::moveRightASpace:
            return {KeyCode::rightArrow, controlFn};
        case SystemAction::spotlight:
            return {KeyCode::space, Modifiers::command};
    }
    return {};
}

std::string_view rawValue(NavigationDirection direction) {
    return direction == NavigationDirection::back ? "back" : "forward";
}

const GestureAction& SwipeActions::operator[](SwipeDirection direction) const {
    switch (direction) {
        case SwipeDirection::left:
            return left;
        case SwipeDirection::right:
            return right;
        case SwipeDirection::up:
            return up;
        case SwipeDirection::down:
            return down;
    }
    return left;
}

const SwipeActions SwipeActions::standard{GestureAction::system(SystemAction::moveRightASpace),
                                          GestureAction::system(SystemAction::moveLeftASpace),
                                          GestureAction::system(SystemAction::missionControl),
                                          GestureAction::system(SystemAction::applicationWindows)};

const GestureMapping& GestureMapping::defaultMapping() {
    static const GestureMapping mapping = [] {
        GestureMapping m;
        m.threeFingerSwipes = SwipeActions::standard;
        m.fourFingerSwipes = SwipeActions::standard;
        m.fourFingerSwipes.down = GestureAction::system(SystemAction::showDesktop);
        m.pinch = {PinchAction::Shortcuts{Shortcut::zoomIn, Shortcut::zoomOut, 0.25}};
        m.followsFingers = true;
        return m;
    }();
    return mapping;
}

GestureAction GestureMapping::action(std::uint8_t fingers, SwipeDirection direction) const {
    if (fingers == 3) {
        return threeFingerSwipes[direction];
    }
    if (fingers == 4) {
        return fourFingerSwipes[direction];
    }
    return GestureAction::none();
}

TrackedSwipeStyle GestureMapping::trackedStyle(std::uint8_t fingers, SwipeDirection direction) const {
    const GestureAction a = action(fingers, direction);
    if (!followsFingers) {
        return {TrackedSwipeStyle::Discrete{a}};
    }
    if (const auto* system = std::get_if<GestureAction::System>(&a.value)) {
        switch (system->action) {
            case SystemAction::moveLeftASpace:
                return {TrackedSwipeStyle::Dock{false, 1.0}};
            case SystemAction::moveRightASpace:
                return {TrackedSwipeStyle::Dock{false, -1.0}};
            case SystemAction::missionControl:
                return {TrackedSwipeStyle::Dock{true, 1.0}};
            case SystemAction::applicationWindows:
                return {TrackedSwipeStyle::Dock{true, -1.0}};
            default:
                break;
        }
    }
    if (const auto* navigation = std::get_if<GestureAction::NavigationSwipe>(&a.value)) {
        return {TrackedSwipeStyle::Navigation{navigation->direction}};
    }
    return {TrackedSwipeStyle::Discrete{a}};
}

std::string encode(const GestureMapping& mapping) {
    return json{{"threeFingerSwipes", encodeSwipes(mapping.threeFingerSwipes)},
                {"fourFingerSwipes", encodeSwipes(mapping.fourFingerSwipes)},
                {"pinch", encodePinch(mapping.pinch)},
                {"followsFingers", mapping.followsFingers}}
        .dump();
}

GestureMapping decodeGestureMapping(std::string_view text) {
    const json object = parse(text);
    GestureMapping mapping;
    mapping.threeFingerSwipes = decodeSwipes(member(object, "threeFingerSwipes"));
    mapping.fourFingerSwipes = decodeSwipes(member(object, "fourFingerSwipes"));
    mapping.pinch = decodePinch(member(object, "pinch"));
    if (const auto follows = object.find("followsFingers"); follows != object.end()) {
        if (!follows->is_boolean()) {
            fail(Kind::typeMismatch, "Expected to decode Bool but found another value instead.");
        }
        mapping.followsFingers = follows->get<bool>();
    }
    return mapping;
}

std::string encode(const Shortcut& shortcut) {
    return encodeShortcut(shortcut).dump();
}

Shortcut decodeShortcut(std::string_view text) {
    return decodeShortcutObject(parse(text));
}

Shortcut::Key decodeShortcutKey(std::string_view text) {
    return decodeKey(parse(text));
}

std::string encode(const GestureAction& action) {
    return encodeAction(action).dump();
}

GestureAction decodeGestureAction(std::string_view text) {
    return decodeAction(parse(text));
}

}  // namespace Gestures
