#pragma once
// The lock screen of a Linux desktop session, and its keyboard layout.
//
// The pieces of a verified password field must belong together. The keyboard is grabbed by another
// client on our display (a grab of our own is refused as already taken), and the client owning the
// top-most mapped override-redirect window there (X-Resource names its process) is taken as the holder
// of the keyboard, the counterpart of secure input. That holder counts as this session's lock screen only
// when it is a known screen locker of this user, run from a root-owned system folder with an executable
// bearing the locker's name, whose DISPLAY is ours and whose logind session is ours, started without
// LD_PRELOAD, LD_LIBRARY_PATH or LD_AUDIT, mapping code only from root-owned system folders and traced
// by nobody; that session is active on its seat (on the console); and the session is locked: logind's
// LockedHint, or else a known locker of this user on our display showing a window, on top or under
// whatever is drawn over it, while the keyboard is held. A notification or an on-screen display over the
// locker leaves the screen locked, but nothing is typed until the locker is on top again. The desktop's
// ScreenSaver service never counts (any process of the user may own its name). Linux has no counterpart
// of the login window's code-signature check, and no accessibility element is named (nothing is filled;
// the password is typed). Anything less leaves the field unverified and nothing is typed.
//
// X names no grab's holder, and a locker that cannot grab (another client holds the keyboard) keeps its
// window on top while it retries, for seconds, before it gives up; how long depends on the locker and the
// load. So the locker's window must also be seen taking the keyboard: from construction on, a watcher
// follows the root window's children and the focus events that every keyboard grab and release brings
// to the root window or to the top-level windows it moves the focus between, and the holder
// counts only when the keyboard was grabbed after its window appeared and has not been let go since. A
// grab that was already held when the locker's window appeared is someone else's; a locker that was on
// top before the lock screen was made cannot be confirmed, and is not; nor is one that grabs the keyboard
// for the very window that already has the focus (that grab moves no focus, and X reports nothing).
//
// xscreensaver is the exception: its daemon takes the keyboard before it maps anything, and the window on
// top that reads the password belongs to its dialog program, which grabs nothing. That dialog counts
// when it is the password dialog the genuine daemon (checked as any locker) started, on our display and
// in our session, and its window appeared while a grab seen taken stood and has stood since: the dialog
// exists only while its daemon holds the keyboard, which no other client can take meanwhile.
//
// Thread: one thread at a time per instance; every D-Bus call has a short time-out.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "injector/LockScreenProbe.h"

namespace Injector {

// Which logind session a process belongs to, and which is our own. The system's answers come from
// libsystemd; tests, which run outside any session, give their own.
struct LockSessionLookup {
    std::function<std::optional<std::string>(pid_t)> sessionOf;
    std::function<std::optional<std::string>()> ownSession;
};
// sd_pid_get_session; our own session is XDG_SESSION_ID, else that of this process, else this user's
// graphical session (sd_uid_get_display).
LockSessionLookup systemLockSessionLookup();

class SystemLockScreen final : public ProbedLockScreen {
  public:
    explicit SystemLockScreen(const std::string& displayName = {},
                              LockSessionLookup sessions = systemLockSessionLookup());
};

// The lock screen's probe on Linux, exposed for the system's own tests.
std::unique_ptr<LockScreenProbe> makeLinuxLockScreenProbe(
    const std::string& displayName, LockSessionLookup sessions = systemLockSessionLookup());
// Whether two X display names name the same display (the screen number aside): ":1", ":1.0", "unix:1".
bool sameXDisplay(const std::string& a, const std::string& b);
// Whether a process command name (as /proc/<pid>/comm gives it, cut to 15 bytes) is a known screen locker.
bool isKnownScreenLocker(const std::string& commandName);
// How a known screen locker empties its password field; none for any other program.
std::optional<LockScreenFieldClearing> fieldClearingOf(const std::string& commandName);
// A known screen locker looks each key up only when it gets to it, with the modifiers and the keymap as
// they are then, not as they were when the key went out.
bool readsKeysLate(const std::string& commandName);

// Why code other than the system's may run in a process, from its environment (/proc/<pid>/environ,
// NUL-separated) and its memory map (/proc/<pid>/maps): the environment sets LD_PRELOAD, LD_LIBRARY_PATH
// or LD_AUDIT, or a file mapped executable, or named like a shared library, is not a system file as
// `isSystemFile` judges its path. None when neither is found.
std::optional<std::string> loaderTampering(std::string_view environment, std::string_view maps,
                                           const std::function<bool(const std::string& path)>& isSystemFile);
// A file under a system folder (/usr/lib, /usr/bin, /lib, ...), owned by root and writable by nobody else,
// in a folder of the same kind; one deleted since it was mapped (" (deleted)") by its folder alone.
bool isRootOwnedSystemFile(const std::string& path);

// The keyboard grabs an X client sees through focus events, against the windows that appeared on the
// root window while it watched.
class KeyboardGrabWatch {
  public:
    // A window was created on the root window or reparented to it.
    void appeared(std::uint32_t window);
    // It was destroyed or reparented away.
    void disappeared(std::uint32_t window);
    // A keyboard grab was taken (focus events in grab mode) or let go (ungrab mode).
    void grabbed();
    void released();
    // The keyboard was grabbed after the window appeared and has not been let go since; false for a
    // window that was there before the watch began.
    bool grabbedSince(std::uint32_t window) const;
    // The window appeared while a grab seen taken stood, and that grab has not been let go since (a
    // window shown for the grab's holder once it had the keyboard); false for a window that was there
    // before the watch began.
    bool appearedWhileGrabbed(std::uint32_t window) const;

  private:
    struct Seen {
        bool grabbedSince = false;  // a grab taken since it appeared still stands
        bool appearedWhileGrabbed = false;
    };
    std::unordered_map<std::uint32_t, Seen> windows_;
    bool grabStands_ = false;
};

// The key and modifiers (Shift, and Option as the third level) that type a character on the current
// layout of the X server's keymap, keypad keys left out.
class SystemUnlockKeyboardLayout final : public UnlockKeyboardLayout {
  public:
    explicit SystemUnlockKeyboardLayout(const std::string& displayName = {});
    ~SystemUnlockKeyboardLayout() override;
    std::optional<UnlockKey> key(std::string_view character) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Injector
