#pragma once
// The lock screen of a Linux desktop session, and its keyboard layout.
//
// What counts as the verified password field here, and nothing else: the session of this process is
// positively locked (logind's LockedHint, or the desktop's org.freedesktop.ScreenSaver reporting itself
// active), logind reports that session active on its seat (on the console) and it belongs to this user,
// the keyboard is grabbed by another client (a grab of our own is refused as already taken), and a known
// screen locker program of this user runs from a root-owned system folder, its executable bearing the
// locker's name; that locker is then taken as the holder of the keyboard (the counterpart of secure
// input). Linux has no counterpart of the login window's code-signature check or of asking which process
// holds secure input, and no accessibility element is named (nothing is filled; the password is typed).
// Anything less leaves the field unverified and nothing is typed.
//
// Thread: one thread at a time per instance; every D-Bus call has a short time-out.
#include <memory>
#include <string>

#include "Injector/LockScreenProbe.h"

namespace Injector {

class SystemLockScreen final : public ProbedLockScreen {
  public:
    explicit SystemLockScreen(const std::string& displayName = {});
};

// The lock screen's probe on Linux, exposed for the system's own tests.
std::unique_ptr<LockScreenProbe> makeLinuxLockScreenProbe(const std::string& displayName);
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
