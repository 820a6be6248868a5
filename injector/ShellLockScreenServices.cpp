#include "injector/ShellLockScreenServices.h"

#include <thread>

#include "injector/HIDEventPoster.h"
#include "injector/LockScreenUnlocker.h"
#include "injector/ScreenLockMonitor.h"
#include "injector/ScreenLockSignals.h"
#include "injector/SystemLockScreen.h"
#include "platform/DispatchQueue.h"
#include "platform/EventLoop.h"
#include "platform/Executor.h"
#include "protocol/messages/Secrets.h"

namespace Injector {
namespace {

class UnlockService final : public Shell::UnlockService {
  public:
    UnlockService(const std::string& displayName, std::shared_ptr<XTestKeyboard> keyboard)
        : lockScreen_(displayName),
          layout_(displayName),
          poster_(displayName, HIDEventPoster::Options{.briefKeyBindings = true}, std::move(keyboard)),
          unlocker_(
              lockScreen_, layout_, poster_, LockScreenUnlocker::Timing{}, queue_,
              [](double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); },
              [] { return platform::monotonicSeconds(); }) {}
    ~UnlockService() override {
        // Attempts still queued run (and end) before the collaborators go.
        queue_.sync([] {});
    }

    void unlock(std::string password, IsWithdrawn isWithdrawn, Completion completion) override {
        unlocker_.unlock(std::move(password), std::move(isWithdrawn),
                         [completion = std::move(completion)](UnlockReport report) {
                             Shell::UnlockReport shell{report.status, report.reason, std::nullopt};
                             if (report.entry) {
                                 shell.entry = *report.entry == UnlockEntry::filled
                                                   ? Shell::UnlockEntry::filled
                                                   : Shell::UnlockEntry::typed;
                             }
                             if (completion) {
                                 completion(std::move(shell));
                             }
                         });
        // A short password moved out of this parameter leaves its bytes in the inline buffer.
        password.resize(password.capacity());
        TrackpadProtocol::wipe(password.data(), password.size());
    }

  private:
    // The lock screen, layout and poster are used on the queue only.
    platform::DispatchQueue queue_{"dev.quelmar.trackpad.mac.unlock"};
    SystemLockScreen lockScreen_;
    SystemUnlockKeyboardLayout layout_;
    HIDEventPoster poster_;
    LockScreenUnlocker unlocker_;
};

class ScreenLockService final : public Shell::ScreenLockService {
  public:
    ScreenLockService(platform::EventLoop& loop, const std::string& displayName)
        : lockScreen_(displayName),
          probe_(loop, [this] { return lockScreen_.isLocked(); }),
          monitor_(
              loop, [this] { return probe_.read(); }, probe_.subscribe(screenLockSignals(loop))) {}

    std::optional<bool> start(ChangeHandler onChange) override { return monitor_.start(std::move(onChange)); }
    void stop() override { monitor_.stop(); }
    std::optional<bool> status() const override { return monitor_.status(); }

  private:
    SystemLockScreen lockScreen_;
    BackgroundLockProbe probe_;
    ScreenLockMonitor monitor_;
};

}  // namespace

std::shared_ptr<Shell::UnlockService> makeShellUnlockService(const std::string& displayName,
                                                             std::shared_ptr<XTestKeyboard> keyboard) {
    return std::make_shared<UnlockService>(displayName, std::move(keyboard));
}

std::shared_ptr<Shell::ScreenLockService> makeShellScreenLockService(platform::EventLoop& loop,
                                                                     const std::string& displayName) {
    return std::make_shared<ScreenLockService>(loop, displayName);
}

}  // namespace Injector
