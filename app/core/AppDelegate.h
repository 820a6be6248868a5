#pragma once
// What the application does when launching finishes and when it terminates, in that order, whatever
// toolkit (or none) runs the process.
//
// Thread: the main queue.
#include <functional>
#include <memory>

#include "app/core/CompanionRuntime.h"

namespace Shell {

class AppDelegate {
  public:
    // With this variable in the environment, launching starts only the permission poll (for tests of
    // the user interface that must not bring up the network).
    static constexpr const char* testModeVariable = "LUMIVEX_TEST_MODE";

    // The user interface's part; every hook may be empty.
    struct Hooks {
        std::function<void()> installPairingPanel;
        std::function<void()> uninstallPairingPanel;
        std::function<void()> offerLaunchAtLogin;
        std::function<void()> showOnboarding;
    };

    AppDelegate(AccessibilityPermission& permission, std::shared_ptr<CompanionRuntime> runtime, Hooks hooks,
                bool testMode);

    void didFinishLaunching();
    void willTerminate();
    CompanionRuntime& companion() { return *runtime_; }

  private:
    AccessibilityPermission& permission_;
    std::shared_ptr<CompanionRuntime> runtime_;
    Hooks hooks_;
    bool testMode_;
    bool terminated_ = false;
};

}  // namespace Shell
