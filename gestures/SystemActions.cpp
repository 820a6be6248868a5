#include "gestures/SystemActions.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>

#include "injector/SystemLockScreen.h"
#include "platform/DBus.h"
#include "platform/DispatchQueue.h"
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

namespace {

struct HotKeyFileReading {
    std::shared_ptr<const HotKeyDictionary> dictionary;
    std::optional<std::string> problem;
};

HotKeyFileReading readHotKeyFile(const std::string& path) {
    std::optional<std::vector<std::uint8_t>> bytes;
    try {
        bytes = platform::readFile(path);
    } catch (const std::exception& error) {
        return {SymbolicHotKeys::linuxDefaults(),
                "Hot-key file " + path + " cannot be read (" + error.what() + "); using the defaults."};
    }
    if (!bytes) {
        return {SymbolicHotKeys::linuxDefaults(), std::nullopt};
    }
    json document = json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (document.is_discarded() || !document.is_object() || !document.contains("AppleSymbolicHotKeys") ||
        !document["AppleSymbolicHotKeys"].is_object()) {
        return {SymbolicHotKeys::linuxDefaults(),
                "Hot-key file " + path +
                    " is not an object holding \"AppleSymbolicHotKeys\"; using the defaults."};
    }
    return {std::make_shared<const HotKeyDictionary>(std::move(document["AppleSymbolicHotKeys"])),
            std::nullopt};
}

// Which version of a file was read: its identity, size and modification time; none when it is absent.
std::optional<std::array<std::int64_t, 5>> fileVersion(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return std::array<std::int64_t, 5>{std::int64_t(info.st_dev), std::int64_t(info.st_ino),
                                       std::int64_t(info.st_size), std::int64_t(info.st_mtim.tv_sec),
                                       std::int64_t(info.st_mtim.tv_nsec)};
}

}  // namespace

std::shared_ptr<const HotKeyDictionary> SymbolicHotKeys::readFile(const std::string& path) {
    HotKeyFileReading reading = readHotKeyFile(path);
    if (reading.problem) {
        log().error(*reading.problem);
    }
    return std::move(reading.dictionary);
}

std::function<std::shared_ptr<const HotKeyDictionary>()> SymbolicHotKeys::fileReader(
    const std::string& path) {
    struct Reported {
        std::optional<std::array<std::int64_t, 5>> version;
        std::optional<std::string> problem;
    };
    auto reported = std::make_shared<Reported>();
    return [path, reported] {
        const std::optional<std::array<std::int64_t, 5>> version = fileVersion(path);
        HotKeyFileReading reading = readHotKeyFile(path);
        if (reading.problem && (reported->version != version || reported->problem != reading.problem)) {
            log().error(*reading.problem);
        }
        reported->version = version;
        reported->problem = reading.problem;
        return std::move(reading.dictionary);
    };
}

std::function<std::shared_ptr<const HotKeyDictionary>()> SymbolicHotKeys::defaultsReader() {
    return fileReader(defaultsPath());
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
            value = LockSession{};
            return;
        case TrackpadProtocol::QuickAction::sleep:
            value = Sleep{};
            return;
    }
    value = Sleep{};
}

struct IOKitSystemPower::Worker {
    std::atomic<bool> toldNobodyLocks{false};
    platform::DispatchQueue queue{"dev.quelmar.trackpad.mac.power"};
};

IOKitSystemPower::IOKitSystemPower() : worker_(std::make_unique<Worker>()) {}

IOKitSystemPower::~IOKitSystemPower() = default;

namespace {

// logind's Session.Lock of our own session; the error that prevented it otherwise.
std::optional<std::string> lockThroughLogind() {
    namespace dbus = platform::dbus;
    auto bus = dbus::Connection::open(dbus::Connection::Bus::system);
    if (!bus) {
        return "the system bus cannot be reached (" + bus.error().message + ")";
    }
    const Injector::LockSessionLookup sessions = Injector::systemLockSessionLookup();
    const std::optional<std::string> id = sessions.ownSession();
    auto session = id ? (*bus)->call({"org.freedesktop.login1",
                                      "/org/freedesktop/login1",
                                      "org.freedesktop.login1.Manager",
                                      "GetSession",
                                      {*id}},
                                     std::chrono::seconds(3))
                      : (*bus)->call({"org.freedesktop.login1",
                                      "/org/freedesktop/login1",
                                      "org.freedesktop.login1.Manager",
                                      "GetSessionByPID",
                                      {static_cast<std::uint32_t>(getpid())}},
                                     std::chrono::seconds(3));
    if (!session) {
        return "logind has no session for us (" + session.error().name + ")";
    }
    const platform::dbus::ObjectPath* path = session->argument(0).objectPath();
    if (path == nullptr) {
        return std::string("logind named no session");
    }
    auto locked =
        (*bus)->call({"org.freedesktop.login1", path->path, "org.freedesktop.login1.Session", "Lock", {}},
                     std::chrono::seconds(3));
    if (!locked) {
        return "logind refused to lock (" + locked.error().name + ")";
    }
    return std::nullopt;
}

std::optional<std::string> lockThroughScreenSaver() {
    namespace dbus = platform::dbus;
    auto bus = dbus::Connection::open(dbus::Connection::Bus::session);
    if (!bus) {
        return "the session bus cannot be reached (" + bus.error().message + ")";
    }
    std::string error;
    for (const char* path : {"/org/freedesktop/ScreenSaver", "/ScreenSaver"}) {
        auto reply =
            (*bus)->call({"org.freedesktop.ScreenSaver", path, "org.freedesktop.ScreenSaver", "Lock", {}},
                         std::chrono::seconds(3));
        if (reply) {
            return std::nullopt;
        }
        error = reply.error().name;
    }
    return "no ScreenSaver service locked (" + error + ")";
}

}  // namespace

bool IOKitSystemPower::lockSession() {
    Worker* worker = worker_.get();
    worker->queue.async([worker] {
        const std::optional<std::string> logind = lockThroughLogind();
        if (!logind) {
            return;
        }
        const std::optional<std::string> screenSaver = lockThroughScreenSaver();
        if (screenSaver && !worker->toldNobodyLocks.exchange(true)) {
            log().error(
                "Lock Screen: the session could not be locked: " + *logind + "; " + *screenSaver +
                ". Nothing locks the screen until a locker serves logind or the ScreenSaver service.");
        }
    });
    return true;
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
