#include "Injector/SystemLockScreen.h"

#include <sys/stat.h>
#include <unistd.h>
#include <xcb/dpms.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "Injector/KeyVocabulary.h"
#include "Injector/XConnection.h"
#include "Injector/XkbServerKeymap.h"
#include "TrackpadProtocol/Types.h"
#include "platform/DBus.h"

namespace Injector {
namespace {

namespace dbus = platform::dbus;
constexpr std::chrono::milliseconds busTimeout{500};

std::string readSmallFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text, '\0');
    return text;
}

std::optional<uid_t> realUserOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) == 0) {
            return static_cast<uid_t>(std::strtoul(line.c_str() + 4, nullptr, 10));
        }
    }
    return std::nullopt;
}

// The executable is the system's program of that name: under a system folder, owned by root, writable by
// nobody else, and its file name is the command name. A process may rename itself at will, so a system
// interpreter (a shell, python) that calls itself a screen locker is not one.
bool isSystemProgram(pid_t pid, const std::string& commandName) {
    std::error_code error;
    const std::filesystem::path exe =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error) {
        return false;
    }
    // /proc cuts command names to 15 bytes.
    if (exe.filename().string().substr(0, 15) != commandName) {
        return false;
    }
    const std::string path = exe.string();
    bool inSystemFolder = false;
    for (const char* folder : {"/usr/bin/", "/usr/sbin/", "/usr/libexec/", "/usr/lib/", "/bin/", "/sbin/"}) {
        inSystemFolder = inSystemFolder || path.rfind(folder, 0) == 0;
    }
    struct stat info {};
    return inSystemFolder && stat(path.c_str(), &info) == 0 && info.st_uid == 0 &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

class LinuxProbe final : public LockScreenProbe {
  public:
    explicit LinuxProbe(const std::string& displayName) : display_(displayName) {
        if (display_.usable()) {
            const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(display_.get(), &xcb_test_id);
            hasXTest_ = xtest != nullptr && xtest->present != 0;
            const xcb_query_extension_reply_t* dpms = xcb_get_extension_data(display_.get(), &xcb_dpms_id);
            hasDPMS_ = dpms != nullptr && dpms->present != 0;
        }
    }

    bool isLocked() override {
        std::lock_guard lock(mutex_);
        return lockedNow();
    }

    bool displayIsAsleep() override {
        std::lock_guard lock(mutex_);
        if (!hasDPMS_ || !display_.usable()) {
            return false;
        }
        xcb_connection_t* c = display_.get();
        XReply<xcb_dpms_info_reply_t> info(xcb_dpms_info_reply(c, xcb_dpms_info(c), nullptr));
        return info && info->state != 0 && info->power_level != XCB_DPMS_DPMS_MODE_ON;
    }

    void wake() override {
        std::lock_guard lock(mutex_);
        if (display_.usable()) {
            xcb_connection_t* c = display_.get();
            xcb_force_screen_saver(c, XCB_SCREEN_SAVER_RESET);
            if (hasDPMS_) {
                xcb_dpms_force_level(c, XCB_DPMS_DPMS_MODE_ON);
            }
            xcb_flush(c);
        }
        if (dbus::Connection* bus = sessionBus()) {
            bus->call({"org.freedesktop.ScreenSaver",
                       "/org/freedesktop/ScreenSaver",
                       "org.freedesktop.ScreenSaver",
                       "SimulateUserActivity",
                       {}},
                      busTimeout);
        }
    }

    bool accessibilityTrusted() override { return display_.usable() && hasXTest_; }

    LockScreenSession session() override {
        std::lock_guard lock(mutex_);
        LockScreenSession session;
        const std::optional<dbus::PropertyMap> logind = logindSession();
        session.locked = lockedNow(logind);
        if (logind) {
            const dbus::Value* active = dbus::find(*logind, "Active");
            session.onConsole = active != nullptr && active->boolean() == true;
            // The session was found as this process's own, so it is this user's.
            session.userID = getuid();
        }
        if (keyboardGrabbedByAnother()) {
            session.secureInputPID = loginWindowProcess(getuid());
        }
        return session;
    }

    uid_t currentUserID() override { return getuid(); }

    std::optional<pid_t> loginWindowProcess(uid_t user) override {
        std::lock_guard lock(mutex_);
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            const std::string name = entry.path().filename().string();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const pid_t pid = static_cast<pid_t>(std::atol(name.c_str()));
            const std::optional<ProbedProcess> info = processInfo(pid);
            if (info && info->isLoginWindow && info->userID == user && info->isSystemLoginWindow) {
                return pid;
            }
        }
        return std::nullopt;
    }

    std::optional<ProbedProcess> processInfo(pid_t pid) override {
        std::lock_guard lock(mutex_);
        std::string comm = readSmallFile("/proc/" + std::to_string(pid) + "/comm");
        while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) {
            comm.pop_back();
        }
        const std::optional<uid_t> user = realUserOf(pid);
        if (comm.empty() || !user) {
            return std::nullopt;
        }
        ProbedProcess process{comm, *user, isKnownScreenLocker(comm), false};
        process.isSystemLoginWindow = process.isLoginWindow && isSystemProgram(pid, comm);
        return process;
    }

    // No accessibility layer is asked: lock screens rarely expose their entry to one, and a named element
    // would add nothing that could be checked the way the keyboard grab is.
    Focus focusedElement(std::optional<pid_t>) override { return std::monostate{}; }
    std::optional<std::string> stringAttribute(std::uint64_t, std::string_view) override {
        return std::nullopt;
    }
    std::optional<int> characterCount(std::uint64_t) override { return std::nullopt; }
    bool secureInputEnabled() override {
        std::lock_guard lock(mutex_);
        return keyboardGrabbedByAnother();
    }
    SetValueResult setValue(std::uint64_t, std::string_view) override { return {-25205, std::nullopt}; }
    void pause(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }

  private:
    dbus::Connection* sessionBus() { return bus(session_, dbus::Connection::Bus::session); }
    dbus::Connection* systemBus() { return bus(system_, dbus::Connection::Bus::system); }
    dbus::Connection* bus(std::unique_ptr<dbus::Connection>& connection, dbus::Connection::Bus which) {
        if (connection && connection->isOpen()) {
            return connection.get();
        }
        auto opened = dbus::Connection::open(which);
        connection = opened ? std::move(*opened) : nullptr;
        return connection.get();
    }

    std::optional<dbus::PropertyMap> logindSession() {
        dbus::Connection* bus = systemBus();
        if (bus == nullptr) {
            return std::nullopt;
        }
        if (sessionPath_.empty()) {
            const char* id = std::getenv("XDG_SESSION_ID");
            auto reply = id != nullptr && *id != '\0' ? bus->call({"org.freedesktop.login1",
                                                                   "/org/freedesktop/login1",
                                                                   "org.freedesktop.login1.Manager",
                                                                   "GetSession",
                                                                   {std::string(id)}},
                                                                  busTimeout)
                                                      : bus->call({"org.freedesktop.login1",
                                                                   "/org/freedesktop/login1",
                                                                   "org.freedesktop.login1.Manager",
                                                                   "GetSessionByPID",
                                                                   {static_cast<std::uint32_t>(getpid())}},
                                                                  busTimeout);
            if (!reply || reply->argument(0).objectPath() == nullptr) {
                return std::nullopt;
            }
            sessionPath_ = reply->argument(0).objectPath()->path;
        }
        auto properties = bus->allProperties("org.freedesktop.login1", sessionPath_,
                                             "org.freedesktop.login1.Session", busTimeout);
        if (!properties) {
            return std::nullopt;
        }
        return std::move(*properties);
    }

    bool lockedNow(const std::optional<dbus::PropertyMap>& logind) {
        if (logind) {
            if (const dbus::Value* hint = dbus::find(*logind, "LockedHint");
                hint != nullptr && hint->boolean() == true) {
                return true;
            }
        }
        dbus::Connection* bus = sessionBus();
        if (bus == nullptr) {
            return false;
        }
        for (const char* path : {"/org/freedesktop/ScreenSaver", "/ScreenSaver"}) {
            auto reply = bus->call(
                {"org.freedesktop.ScreenSaver", path, "org.freedesktop.ScreenSaver", "GetActive", {}},
                busTimeout);
            if (reply) {
                return reply->argument(0).boolean() == true;
            }
        }
        return false;
    }
    bool lockedNow() { return lockedNow(logindSession()); }

    // A grab of our own fails as already taken only while another client holds the keyboard; when ours
    // succeeds, it is let go at once.
    bool keyboardGrabbedByAnother() {
        if (!display_.usable()) {
            return false;
        }
        xcb_connection_t* c = display_.get();
        XReply<xcb_grab_keyboard_reply_t> grab(
            xcb_grab_keyboard_reply(c,
                                    xcb_grab_keyboard(c, 0, display_.root(), XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr));
        if (grab && grab->status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
            xcb_flush(c);
            return false;
        }
        return grab && grab->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
    }

    // The unlocker's queue and the main queue (its pre-checks) may read at once.
    std::recursive_mutex mutex_;
    XConnection display_;
    bool hasXTest_ = false;
    bool hasDPMS_ = false;
    std::unique_ptr<dbus::Connection> session_;
    std::unique_ptr<dbus::Connection> system_;
    std::string sessionPath_;
};

}  // namespace

bool isKnownScreenLocker(const std::string& commandName) {
    // /proc cuts command names to 15 bytes.
    static const std::array<const char*, 14> lockers = {
        "i3lock",          "xsecurelock",     "slock",           "xscreensaver",    "xscreensaver-au",
        "light-locker",    "gnome-screensav", "cinnamon-screen", "mate-screensave", "xfce4-screensav",
        "kscreenlocker_g", "xlock",           "xtrlock",         "sxlock"};
    for (const char* locker : lockers) {
        if (commandName == locker) {
            return true;
        }
    }
    return false;
}

std::unique_ptr<LockScreenProbe> makeLinuxLockScreenProbe(const std::string& displayName) {
    return std::make_unique<LinuxProbe>(displayName);
}

SystemLockScreen::SystemLockScreen(const std::string& displayName)
    : ProbedLockScreen(makeLinuxLockScreenProbe(displayName)) {}

struct SystemUnlockKeyboardLayout::Impl {
    explicit Impl(const std::string& displayName) : keymap(displayName) {}
    XkbServerKeymap keymap;
};

SystemUnlockKeyboardLayout::SystemUnlockKeyboardLayout(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

SystemUnlockKeyboardLayout::~SystemUnlockKeyboardLayout() = default;

std::optional<UnlockKey> SystemUnlockKeyboardLayout::key(std::string_view character) {
    std::optional<UnlockKey> found;
    impl_->keymap.with([&](xkb_keymap* keymap, std::uint32_t group) {
        xkb_state* state = xkb_state_new(keymap);
        if (state == nullptr) {
            return;
        }
        constexpr std::array<std::pair<bool, bool>, 4> combinations = {
            {{false, false}, {true, false}, {false, true}, {true, true}}};
        for (const auto& [shift, option] : combinations) {
            for (std::uint16_t code = 0; code < 128 && !found; ++code) {
                const std::optional<std::uint16_t> evdev = KeyCode::evdevKeyCode(code);
                if (!evdev || KeyCode::isKeypadKey(code)) {
                    continue;
                }
                char text[8] = {};
                const std::uint32_t cp = keyCharacter(state, keymap, group, shift, option, *evdev + 8u);
                if (cp == 0 || xkb_keysym_to_utf8(xkb_utf32_to_keysym(cp), text, sizeof text) <= 0) {
                    continue;
                }
                const std::string produced(text);
                if (!TrackpadProtocol::containsControlCharacter(produced) && produced == character) {
                    found = UnlockKey{code, shift, option};
                }
            }
            if (found) {
                break;
            }
        }
        xkb_state_unref(state);
    });
    return found;
}

}  // namespace Injector
