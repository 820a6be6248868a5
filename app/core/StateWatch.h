#pragma once
// One callback for a change of any state the menu reads, so that the menu is derived again.
#include <functional>
#include <memory>
#include <vector>

#include "app/core/CompanionRuntime.h"
#include "app/core/LaunchAtLogin.h"

namespace Shell {

class StateWatch {
  public:
    StateWatch(CompanionRuntime& runtime, AccessibilityPermission& permission, LaunchAtLogin& login,
               CompanionPreferences& preferences, std::function<void()> changed);

  private:
    template <class T>
    void watch(platform::Published<T>& value);

    std::function<void()> changed_;
    std::vector<std::shared_ptr<void>> subscriptions_;
};

}  // namespace Shell
