#pragma once
// Stand-ins for the unlocker's system side in the end-to-end tests, where the keys go to a real locker
// window on Xvfb: a lock screen whose password field is verified, locked until the test says otherwise,
// and a layout that answers every character (the keyboard types the text itself).
#include <atomic>
#include <optional>
#include <string_view>

#include "injector/LockScreenUnlocker.h"

namespace Injector::testing_fakes {

class VerifiedFieldLockScreen final : public LockScreen {
  public:
    bool isLocked() override { return locked; }
    bool displayIsAsleep() override { return false; }
    void wake() override {}
    LockScreenFocus examine() override {
        return {LockScreenFocus::PasswordField{
            {{SecureInputKey{1}}, std::nullopt, 1, LockScreenFieldCheck::secureInput}}};
    }
    bool isFocused(const LockScreenField&) override { return true; }
    LockScreenFill fill(const LockScreenField&, std::string_view) override {
        return {LockScreenFill::Failed{"no accessibility"}};
    }
    std::atomic<bool> locked{true};
};

class AnyKeyLayout final : public UnlockKeyboardLayout {
  public:
    std::optional<UnlockKey> key(std::string_view) override { return UnlockKey{0, false, false}; }
};

}  // namespace Injector::testing_fakes
