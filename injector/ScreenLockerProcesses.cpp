#include "injector/ScreenLockerProcesses.h"

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string_view>
#include <vector>

#include "injector/LockScreen.h"
#include "injector/SystemLockScreen.h"

namespace Injector {
namespace {
std::string readSmallFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text, '\0');
    return text;
}

bool rootOwnedNotShared(const std::string& path, bool folder) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
           (folder ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode));
}

// Who traces the process (a debugger, or code injecting itself); 0 for nobody, none when unreadable.
std::optional<long> tracerOf(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) {
            return std::strtol(line.c_str() + 10, nullptr, 10);
        }
    }
    return std::nullopt;
}

// The arguments a process was started with.
std::vector<std::string> argumentsOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    for (std::string argument; std::getline(in, argument, '\0');) {
        arguments.push_back(argument);
    }
    return arguments;
}

}  // namespace

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

// A process may rename itself at will, so a system interpreter (a shell, python) that calls itself a
// screen locker is not one.
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

std::optional<std::string> tamperingOf(pid_t pid) {
    const std::string base = "/proc/" + std::to_string(pid);
    std::ifstream environ(base + "/environ", std::ios::binary);
    std::ifstream maps(base + "/maps");
    if (!environ || !maps) {
        return "its environment or memory map can't be read";
    }
    const std::string environment(std::istreambuf_iterator<char>(environ), {});
    const std::string map(std::istreambuf_iterator<char>(maps), {});
    if (map.empty()) {
        return "its memory map can't be read";
    }
    if (std::optional<std::string> found = loaderTampering(environment, map, isRootOwnedSystemFile)) {
        return found;
    }
    const std::optional<long> tracer = tracerOf(pid);
    if (!tracer || *tracer != 0) {
        return "it is traced by another process";
    }
    return std::nullopt;
}

std::string commandName(pid_t pid) {
    std::string comm = readSmallFile("/proc/" + std::to_string(pid) + "/comm");
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) {
        comm.pop_back();
    }
    return comm;
}

std::optional<std::string> displayOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::string environment(std::istreambuf_iterator<char>(in), {});
    std::size_t start = 0;
    while (start < environment.size()) {
        std::size_t end = environment.find('\0', start);
        if (end == std::string::npos) {
            end = environment.size();
        }
        const std::string_view entry(environment.data() + start, end - start);
        if (entry.rfind("DISPLAY=", 0) == 0) {
            return std::string(entry.substr(8));
        }
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<pid_t> parentOf(pid_t pid) {
    // "pid (comm) state ppid ...": the name may hold spaces and parentheses, so count from the last ')'.
    const std::string stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long parent = std::strtol(stat.c_str() + close + 4, &end, 10);
    if (end == stat.c_str() + close + 4 || parent <= 0) {
        return std::nullopt;
    }
    return static_cast<pid_t>(parent);
}

// The daemon starts its programs by name with its own folder first in PATH, so a child of a genuine
// daemon that goes by one of their names is that program; and another process cannot make itself its
// child. The parent is read again last: had it gone meanwhile (its number then free for another), the
// child would have been handed to another parent.
std::optional<std::string> screenSaverChildDoubt(pid_t child, const std::string& displayName, pid_t& daemon) {
    const std::optional<pid_t> parent = parentOf(child);
    if (!parent) {
        return "it is gone";
    }
    if (commandName(*parent) != screenSaverDaemon) {
        return "it was not started by xscreensaver";
    }
    const std::optional<uid_t> user = realUserOf(child);
    if (!user || realUserOf(*parent) != user) {
        return "it was not started by xscreensaver of its user";
    }
    if (!isSystemProgram(*parent, screenSaverDaemon)) {
        return "it was not started by the system's xscreensaver";
    }
    const std::optional<std::string> display = displayOf(*parent);
    if (!display || displayName.empty() || !sameXDisplay(*display, displayName)) {
        return "the xscreensaver that started it runs on another display";
    }
    if (std::optional<std::string> tampering = tamperingOf(*parent)) {
        return "the xscreensaver that started it: " + *tampering;
    }
    if (parentOf(child) != parent) {
        return "the xscreensaver that started it is gone";
    }
    daemon = *parent;
    return std::nullopt;
}

std::optional<std::string> screenSaverDialogDoubt(pid_t dialog, const std::string& displayName,
                                                  pid_t& daemon) {
    if (std::optional<std::string> doubt = screenSaverChildDoubt(dialog, displayName, daemon)) {
        return doubt;
    }
    // Where the system installs it set-user-ID (it reads the password database), its user may neither
    // read its program file and memory map nor trace it, and the loader ignores LD_PRELOAD and the like;
    // where its user may read them, they are checked as any locker's are.
    std::error_code unreadable;
    const bool readable =
        !std::filesystem::read_symlink("/proc/" + std::to_string(dialog) + "/exe", unreadable).empty();
    if (readable) {
        if (!isSystemProgram(dialog, screenSaverDialog)) {
            return "it is not the system's xscreensaver-auth";
        }
        if (std::optional<std::string> tampering = tamperingOf(dialog)) {
            return tampering;
        }
    } else if (unreadable != std::errc::permission_denied) {
        return "it is gone";
    }
    const std::optional<long> tracer = tracerOf(dialog);
    if (!tracer || *tracer != 0) {
        return "it is traced by another process";
    }
    // Started at the daemon's start, the same program shows a splash screen that reads no password.
    const std::vector<std::string> arguments = argumentsOf(dialog);
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--splash" || arguments[i] == "--init") {
            return "it is xscreensaver's splash screen";
        }
    }
    return std::nullopt;
}

namespace {

struct KnownLocker {
    const char* commandName;  // as /proc gives it, cut to 15 bytes
    LockScreenFieldClearing clearing;
    bool readsKeysLate = false;
};

const KnownLocker* knownLocker(const std::string& commandName) {
    using enum LockScreenFieldClearing;
    // How each empties its password field, as each that runs without a display manager was seen to do
    // (sxlock and xlock, which Debian no longer ships, as their code does). Escape closes the prompt of
    // several (the password would then go nowhere), and Control+A is a character to the simple ones, or
    // ignored (Delete then removes one of the field's characters, or only that one).
    static const std::array<KnownLocker, 14> lockers = {{
        // Escape also empties it, and is one key whatever the layout (Control+U needs a key for u).
        {"i3lock", escape},
        // Control+A empties the line itself; Escape closes the prompt.
        {"xsecurelock", selectAllThenDelete},
        // Both ignore Control+A and Control+U, so Delete would take one of the field's characters.
        {"slock", escape},
        {"sxlock", escape},
        // Control+A selects nothing, so Delete leaves characters; Escape closes the dialog. The dialog
        // reads raw keys while the daemon holds the keyboard, and asks for the modifiers (and looks the
        // key up in its keymap) only when it gets to a key.
        {"xscreensaver", controlU, true},
        {"xscreensaver-au", controlU, true},
        // Its field is the display manager's greeter's, a toolkit text field.
        {"light-locker", selectAllThenDelete},
        // Toolkit text fields, where Control+A selects everything.
        {"gnome-screensav", selectAllThenDelete},
        {"cinnamon-screen", selectAllThenDelete},
        {"mate-screensave", selectAllThenDelete},
        {"xfce4-screensav", selectAllThenDelete},
        {"kscreenlocker_g", selectAllThenDelete},
        // Takes Escape and Control+A as characters.
        {"xlock", controlU},
        // Takes Control+U and Control+A as characters.
        {"xtrlock", escape},
    }};
    for (const KnownLocker& locker : lockers) {
        if (commandName == locker.commandName) {
            return &locker;
        }
    }
    return nullptr;
}

}  // namespace

bool isKnownScreenLocker(const std::string& commandName) {
    return knownLocker(commandName) != nullptr;
}

std::optional<LockScreenFieldClearing> fieldClearingOf(const std::string& commandName) {
    const KnownLocker* locker = knownLocker(commandName);
    return locker != nullptr ? std::optional(locker->clearing) : std::nullopt;
}

bool readsKeysLate(const std::string& commandName) {
    const KnownLocker* locker = knownLocker(commandName);
    return locker != nullptr && locker->readsKeysLate;
}

std::optional<std::string> loaderTampering(std::string_view environment, std::string_view maps,
                                           const std::function<bool(const std::string& path)>& isSystemFile) {
    for (std::size_t start = 0; start < environment.size();) {
        std::size_t end = environment.find('\0', start);
        if (end == std::string_view::npos) {
            end = environment.size();
        }
        const std::string_view entry = environment.substr(start, end - start);
        for (const char* name : {"LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT"}) {
            const std::size_t length = std::strlen(name);
            // The loader ignores an empty value.
            if (entry.size() > length + 1 && entry.substr(0, length) == name && entry[length] == '=') {
                return std::string("its environment sets ") + name;
            }
        }
        start = end + 1;
    }
    std::map<std::string, bool, std::less<>> judged;
    for (std::size_t start = 0; start < maps.size();) {
        std::size_t end = maps.find('\n', start);
        if (end == std::string_view::npos) {
            end = maps.size();
        }
        const std::string_view line = maps.substr(start, end - start);
        start = end + 1;
        // "address perms offset dev inode   path": the path, which may hold spaces, follows five fields.
        std::size_t at = 0;
        std::string_view permissions;
        for (int field = 0; field < 5 && at != std::string_view::npos; ++field) {
            const std::size_t next = line.find(' ', at);
            if (field == 1) {
                permissions =
                    line.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at);
            }
            at = next == std::string_view::npos ? next : line.find_first_not_of(' ', next);
        }
        if (at == std::string_view::npos || line[at] != '/') {
            continue;  // anonymous memory, the stack, the vdso
        }
        const std::string path(line.substr(at));
        const std::string name = path.substr(path.rfind('/') + 1);
        const std::size_t so = name.find(".so");
        const bool library =
            so != std::string::npos && (so + 3 == name.size() || name[so + 3] == '.' || name[so + 3] == ' ');
        if (!(permissions.size() >= 3 && permissions[2] == 'x') && !library) {
            continue;  // data: fonts, caches, locale archives
        }
        auto found = judged.find(path);
        if (found == judged.end()) {
            found = judged.emplace(path, isSystemFile(path)).first;
        }
        if (!found->second) {
            return "it maps " + path + " from outside the system's folders";
        }
    }
    return std::nullopt;
}

bool isRootOwnedSystemFile(const std::string& mapped) {
    constexpr std::string_view deleted = " (deleted)";
    std::string path = mapped;
    const bool gone = path.size() > deleted.size() && path.ends_with(deleted);
    if (gone) {
        path.resize(path.size() - deleted.size());
    }
    bool inSystemFolder = false;
    for (const char* folder :
         {"/usr/lib/", "/usr/lib64/", "/usr/lib32/", "/usr/libx32/", "/usr/libexec/", "/usr/bin/",
          "/usr/sbin/", "/lib/", "/lib64/", "/lib32/", "/libx32/", "/bin/", "/sbin/"}) {
        inSystemFolder = inSystemFolder || path.rfind(folder, 0) == 0;
    }
    if (!inSystemFolder || path.find("/../") != std::string::npos || path.find("/./") != std::string::npos) {
        return false;
    }
    // A file replaced under a running program (an upgrade) was put there by whoever may write the folder.
    const std::string folder = path.substr(0, path.rfind('/'));
    return rootOwnedNotShared(folder, true) && (gone || rootOwnedNotShared(path, false));
}

}  // namespace Injector
