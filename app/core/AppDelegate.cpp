#include "app/core/AppDelegate.h"

namespace Shell {

AppDelegate::AppDelegate(AccessibilityPermission& permission, std::shared_ptr<CompanionRuntime> runtime,
                         Hooks hooks, bool testMode)
    : permission_(permission), runtime_(std::move(runtime)), hooks_(std::move(hooks)), testMode_(testMode) {}

void AppDelegate::didFinishLaunching() {
    permission_.startPolling();
    if (testMode_) {
        return;
    }
    if (hooks_.installPairingPanel) {
        hooks_.installPairingPanel();
    }
    runtime_->start();
    if (hooks_.offerLaunchAtLogin) {
        hooks_.offerLaunchAtLogin();
    }
    if (permission_.currentStatus() == AccessibilityStatus::missing && hooks_.showOnboarding) {
        hooks_.showOnboarding();
    }
}

void AppDelegate::willTerminate() {
    // A signal and the toolkit's own quit may both end up here.
    if (terminated_) {
        return;
    }
    terminated_ = true;
    if (hooks_.uninstallPairingPanel) {
        hooks_.uninstallPairingPanel();
    }
    runtime_->stop();
    permission_.stopPolling();
}

}  // namespace Shell
