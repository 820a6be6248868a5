#pragma once
// The lock screen of a Linux desktop session, and its keyboard layout.
//
// The pieces of a verified password field must belong together. The keyboard is grabbed by another
// client on our display (a grab of our own is refused as already taken), and the client owning the
// top-most mapped override-redirect window there (X-Resource names its process) is taken as the holder
// of the keyboard, the counterpart of secure input. That holder counts as this session's lock screen only
// when it is a known screen locker of this user, run from a root-owned system folder with an executable
// bearing the locker's name, whose DISPLAY is ours and whose logind session is ours; that session is
// active on its seat (on the console); and the session is locked: logind's LockedHint, or else that very
// locker holding the keyboard. The desktop's ScreenSaver service never counts (any process of the user
// may own its name). Linux has no counterpart of the login window's code-signature check, and no
// accessibility element is named (nothing is filled; the password is typed). Anything less leaves the
// field unverified and nothing is typed.
//
// Thread: one thread at a time per instance; every D-Bus call has a short time-out.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

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
