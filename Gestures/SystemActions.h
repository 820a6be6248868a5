#pragma once
// The system features the gesture engine performs by pressing the shortcut bound to them, the reader of
// those bindings (a hot-key file of ours in the layout of the system's symbolic hot keys), the effect of
// each quick action, and sleep.
#include <nlohmann/json_fwd.hpp>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "Gestures/GestureMapping.h"
#include "Gestures/Shortcuts.h"
#include "TrackpadProtocol/Types.h"

namespace Gestures {

class SystemShortcutSource {
  public:
    virtual ~SystemShortcutSource() = default;
    // The stroke bound to the action; none when it has no usable binding and nothing is to be posted.
    virtual std::optional<KeyStroke> keyStroke(SystemAction action) const = 0;
};

// The hot-key dictionary: string keys ("32", "64", ...) to entries {"enabled", "value": {"type",
// "parameters": [character, key code, flags]}}.
using HotKeyDictionary = nlohmann::json;

struct SymbolicHotKeys final : SystemShortcutSource {
    // Reads the dictionary at every call; null stands for none.
    std::function<std::shared_ptr<const HotKeyDictionary>()> read;

    explicit SymbolicHotKeys(std::function<std::shared_ptr<const HotKeyDictionary>()> reader)
        : read(std::move(reader)) {}

    std::optional<KeyStroke> keyStroke(SystemAction action) const override;
    static std::optional<KeyStroke> keyStroke(SystemAction action, const HotKeyDictionary* dictionary);

    // The user's hot-key file ($XDG_CONFIG_HOME/dev.quelmar.trackpad.mac/SymbolicHotKeys.json, an
    // object holding "AppleSymbolicHotKeys"). Without the file, the bindings of common Linux desktops;
    // a file that cannot be read or has another shape is refused with a log line, and those bindings
    // apply as well.
    static std::shared_ptr<const HotKeyDictionary> readDefaults();
    static std::shared_ptr<const HotKeyDictionary> readFile(const std::string& path);
    static std::shared_ptr<const HotKeyDictionary> linuxDefaults();
    static std::string defaultsPath();
};

struct QuickActionEffect {
    struct KeyPress {
        GestureAction action;
        friend bool operator==(const KeyPress&, const KeyPress&) = default;
    };
    struct Sleep {
        friend bool operator==(const Sleep&, const Sleep&) = default;
    };
    std::variant<KeyPress, Sleep> value;
    friend bool operator==(const QuickActionEffect&, const QuickActionEffect&) = default;

    explicit QuickActionEffect(TrackpadProtocol::QuickAction action);
};

class SystemPower {
  public:
    virtual ~SystemPower() = default;
    // True when the sleep request was accepted.
    virtual bool sleep() = 0;
};

// Sleep through logind: org.freedesktop.login1.Manager.Suspend(false) on the system bus
// (DBUS_SYSTEM_BUS_ADDRESS when set), with a short time-out.
class IOKitSystemPower final : public SystemPower {
  public:
    bool sleep() override;
};

}  // namespace Gestures
