#include "app/core/StateWatch.h"

namespace Shell {

template <class T>
void StateWatch::watch(platform::Published<T>& value) {
    auto subscription = std::make_shared<typename platform::Published<T>::Subscription>(
        value.subscribe([this](const T&) { changed_(); }));
    subscriptions_.push_back(std::move(subscription));
}

StateWatch::StateWatch(CompanionRuntime& runtime, AccessibilityPermission& permission, LaunchAtLogin& login,
                       CompanionPreferences& preferences, std::function<void()> changed)
    : changed_(std::move(changed)) {
    watch(runtime.pendingPairing);
    watch(runtime.pairingProgress);
    watch(runtime.connectedDevices);
    watch(runtime.trustedDevices);
    watch(runtime.forgetError);
    watch(runtime.status);
    watch(runtime.canRetry);
    watch(runtime.storeProblem);
    watch(runtime.storeBackupURL);
    watch(runtime.storeResetError);
    watch(runtime.openedApp);
    watch(runtime.lastUnlock);
    watch(permission.status());
    watch(login.state());
    watch(login.lastError());
    watch(preferences.showsConnectionNotice());
    watch(preferences.highlightsPointerOnShake());
    watch(preferences.allowsUnlockFromIPhone());
}

}  // namespace Shell
