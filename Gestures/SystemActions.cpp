#include "Gestures/SystemActions.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <limits>

#include "platform/DBus.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace Gestures {
namespace {

using nlohmann::json;

const platform::Logger& log() {
    static const platform::Logger logger("dev.quelmar.trackpad.mac", "gestures");
    return logger;
}

// A number read as the system's preference values are: Booleans count as numbers (0 and 1).
std::optional<double> numberOf(const json& value) {
    if (value.is_boolean()) {
        return value.get<bool>() ? 1.0 : 0.0;
    }
    if (value.is_number()) {
        return value.get<double>();
    }
    return std::nullopt;
}

// The bindings of common Linux desktops, in the layout of the hot-key file: Super alone opens the
// overview, Super+D shows the desktop, Control+Alt+Left/Right move between workspaces, Alt+F2 opens
// the run prompt; "application windows" has no common binding and is off.
constexpr const char* linuxDefaultsText = R"({
    "32": {"enabled": true, "value": {"type": "standard", "parameters": [65535, 55, 0]}},
    "33": {"enabled": false},
    "36": {"enabled": true, "value": {"type": "standard", "parameters": [100, 2, 1048576]}},
    "79": {"enabled": true, "value": {"type": "standard", "parameters": [65535, 123, 786432]}},
    "81": {"enabled": true, "value": {"type": "standard", "parameters": [65535, 124, 786432]}},
    "64": {"enabled": true, "value": {"type": "standard", "parameters": [65535, 120, 524288]}}
})";

}  // namespace

std::optional<KeyStroke> SymbolicHotKeys::keyStroke(SystemAction action) const {
    const std::shared_ptr<const HotKeyDictionary> dictionary = read ? read() : nullptr;
    return keyStroke(action, dictionary.get());
}

std::optional<KeyStroke> SymbolicHotKeys::keyStroke(SystemAction action, const HotKeyDictionary* dictionary) {
    const KeyStroke fallback = defaultKeyStroke(action);
    if (dictionary == nullptr || !dictionary->is_object()) {
        return fallback;
    }
    const auto entry = dictionary->find(std::to_string(symbolicHotKeyID(action)));
    if (entry == dictionary->end() || !entry->is_object()) {
        return fallback;
    }
    if (const auto enabled = entry->find("enabled"); enabled != entry->end()) {
        if (const std::optional<double> number = numberOf(*enabled); number && *number == 0) {
            return std::nullopt;
        }
    }
    const auto value = entry->find("value");
    if (value == entry->end() || !value->is_object() || value->empty()) {
        return fallback;
    }
    const auto parameters = value->find("parameters");
    if (parameters == value->end() || !parameters->is_array()) {
        return fallback;
    }
    std::vector<double> numbers;
    for (const json& element : *parameters) {
        const std::optional<double> number = numberOf(element);
        if (!number || !std::isfinite(*number)) {
            return fallback;
        }
        numbers.push_back(std::trunc(*number));
    }
    if (numbers.size() < 3) {
        return fallback;
    }
    if (const auto type = value->find("type");
        type != value->end() && type->is_string() && type->get<std::string>() != "standard") {
        return std::nullopt;
    }
    if (numbers[1] < 0 || numbers[1] >= 65535 || numbers[2] < 0 ||
        numbers[2] > double(std::numeric_limits<std::uint64_t>::max() / 2)) {
        return std::nullopt;
    }
    return KeyStroke{static_cast<std::uint16_t>(numbers[1]),
                     Modifiers::fromEventFlags(static_cast<std::uint64_t>(numbers[2]))};
}

std::string SymbolicHotKeys::defaultsPath() {
    return (platform::xdgConfigHome() / "dev.quelmar.trackpad.mac" / "SymbolicHotKeys.json").string();
}

std::shared_ptr<const HotKeyDictionary> SymbolicHotKeys::linuxDefaults() {
    static const std::shared_ptr<const HotKeyDictionary> defaults =
        std::make_shared<const HotKeyDictionary>(json::parse(linuxDefaultsText));
    return defaults;
}

std::shared_ptr<const HotKeyDictionary> SymbolicHotKeys::readFile(const std::string& path) {
    std::optional<std::vector<std::uint8_t>> bytes;
    try {
        bytes = platform::readFile(path);
    } catch (const std::exception& error) {
        log().error("Hot-key file " + path + " cannot be read (" + error.what() + "); using the defaults.");
        return linuxDefaults();
    }
    if (!bytes) {
        return linuxDefaults();
    }
    json document = json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("AppleSymbolicHotKeys") ||
        !document["AppleSymbolicHotKeys"].is_object()) {
        log().error("Hot-key file " + path +
                    " is not an object holding \"AppleSymbolicHotKeys\"; using the defaults.");
        return linuxDefaults();
    }
    return std::make_shared<const HotKeyDictionary>(std::move(document["AppleSymbolicHotKeys"]));
}

std::shared_ptr<const HotKeyDictionary> SymbolicHotKeys::readDefaults() {
    return readFile(defaultsPath());
}

QuickActionEffect::QuickActionEffect(TrackpadProtocol::QuickAction action) {
    switch (action) {
        case TrackpadProtocol::QuickAction::spotlight:
            value = KeyPress{GestureAction::system(SystemAction::spotlight)};
            return;
        case TrackpadProtocol::QuickAction::lockScreen:
            value = KeyPress{GestureAction::shortcut(Shortcut::lockScreen)};
            return;
        case TrackpadProtocol::QuickAction::sleep:
            value = Sleep{};
            return;
    }
    value = Sleep{};
}

bool IOKitSystemPower::sleep() {
    auto bus = platform::dbus::Connection::open(platform::dbus::Connection::Bus::system);
    if (!bus) {
        log().error("Sleep: the system bus cannot be reached (" + bus.error().message + ").");
        return false;
    }
    const auto reply = (*bus)->call({"org.freedesktop.login1",
                                     "/org/freedesktop/login1",
                                     "org.freedesktop.login1.Manager",
                                     "Suspend",
                                     {false}},
                                    std::chrono::seconds(3));
    if (!reply) {
        log().error("Sleep: logind refused to suspend (" + reply.error().name + ": " + reply.error().message +
                    ").");
        return false;
    }
    return true;
}

}  // namespace Gestures
