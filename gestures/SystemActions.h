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

#include "gestures/GestureMapping.h"
#include "gestures/Shortcuts.h"
#include "protocol/messages/Types.h"

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
    // Reads the file at every call as readFile does, but logs a problem with it once for each version of
    // the file (its identity, size and modification time), not at every gesture.
    static std::function<std::shared_ptr<const HotKeyDictionary>()> fileReader(const std::string& path);
    static std::function<std::shared_ptr<const HotKeyDictionary>()> defaultsReader();
    static std::shared_ptr<const HotKeyDictionary> linuxDefaults();
    static std::string defaultsPath();
};

// "Lock Screen" asks the session to lock (the nearest Linux counterpart of the system's own lock
// shortcut, which no common Linux desktop binds).
struct QuickActionEffect {
    struct KeyPress {
        GestureAction action;
        friend bool operator==(const KeyPress&, const KeyPress&) = default;
    };
    struct Sleep {
        friend bool operator==(const Sleep&, const Sleep&) = default;
    };
    struct LockSession {
        friend bool operator==(const LockSession&, const LockSession&) = default;
    };
    std::variant<KeyPress, Sleep, LockSession> value;
    friend bool operator==(const QuickActionEffect&, const QuickActionEffect&) = default;

    explicit QuickActionEffect(TrackpadProtocol::QuickAction action);
};

class SystemPower {
  public:
    virtual ~SystemPower() = default;
    // True when the sleep request was accepted.
    virtual bool sleep() = 0;
    // Asks the session to lock its screen; false when it cannot even be asked.
    virtual bool lockSession() { return false; }
};

// Sleep through logind: org.freedesktop.login1.Manager.Suspend(false) on the system bus
// (DBUS_SYSTEM_BUS_ADDRESS when set), with a short time-out. The session is locked through logind's
// Session.Lock of our own session, else the desktop's org.freedesktop.ScreenSaver.Lock; that runs on a
// worker of its own, as a desktop's locker may take its time to answer.
//
// Thread: the main thread; the lock request on the worker.
class IOKitSystemPower final : public SystemPower {
  public:
    IOKitSystemPower();
    ~IOKitSystemPower() override;
    bool sleep() override;
    // Always true: the request is sent on the worker, and a session nobody can lock is logged there
    // (once).
    bool lockSession() override;

  private:
    struct Worker;
    std::unique_ptr<Worker> worker_;
};

}  // namespace Gestures
