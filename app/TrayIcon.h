#pragma once
// The companion's icon in the system tray: its symbol and tooltip follow the permission and a pending
// pairing. Without a tray host (a bare X server) the companion runs all the same and logs instead.
#include <memory>

#include "app/core/CompanionRuntime.h"

class QSystemTrayIcon;
class QMenu;

namespace Shell {

class TrayIcon {
  public:
    // Both must outlive the icon.
    TrayIcon(CompanionRuntime& runtime, AccessibilityPermission& permission);
    ~TrayIcon();

  private:
    void update();

    CompanionRuntime& runtime_;
    AccessibilityPermission& permission_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    platform::Published<std::optional<PendingPairing>>::Subscription pendingSubscription_;
    platform::Published<AccessibilityStatus>::Subscription permissionSubscription_;
    platform::Published<std::string>::Subscription statusSubscription_;
};

}  // namespace Shell
