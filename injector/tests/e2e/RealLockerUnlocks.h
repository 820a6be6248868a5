#pragma once
// What the end-to-end tests against real screen lockers share: why a lock screen leaves the field
// unverified, and one whole unlock through the real layout, with the application's unlocker.
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <variant>

#include "injector/LockScreenUnlocker.h"
#include "injector/SystemLockScreen.h"
#include "platform/DispatchQueue.h"
#include "platform/Executor.h"

namespace Injector::testing_fakes {

// The reason the lock screen gives for not verifying the field; "<verified>" when it verifies it.
inline std::string unverifiedReason(LockScreen& lockScreen) {
    const LockScreenFocus focus = lockScreen.examine();
    const auto* unverified = std::get_if<LockScreenFocus::Unverified>(&focus.value);
    return unverified != nullptr ? unverified->reason : "<verified>";
}

inline UnlockReport unlock(LockScreen& lockScreen, const std::string& display, EventPoster& poster,
                           const std::string& password, const LockScreenUnlocker::Timing& timing) {
    SystemUnlockKeyboardLayout layout(display);
    platform::DispatchQueue queue("dev.quelmar.trackpad.mac.unlock");
    LockScreenUnlocker unlocker(
        lockScreen, layout, poster, timing, queue,
        [](double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); },
        [] { return platform::monotonicSeconds(); }, [](const std::string&) {});
    std::promise<UnlockReport> done;
    unlocker.unlock(
        password, [] { return false; }, [&](UnlockReport report) { done.set_value(report); });
    UnlockReport report = done.get_future().get();
    queue.sync([] {});
    return report;
}

}  // namespace Injector::testing_fakes
