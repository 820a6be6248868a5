#pragma once
// The companion's icon in the system tray, with the menu derived from published state. The symbol and
// tooltip follow the permission and a pending pairing; the menu is derived again (once per turn of the
// event loop) whenever any state it reads changes, and its items are updated in place.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/core/MenuModel.h"
#include "app/core/StateWatch.h"

class QSystemTrayIcon;
class QMenu;
class QStyle;

namespace Shell {

// What the menu's actions reach beyond the runtime, the permission, the preferences and the login item.
struct TrayHooks {
    std::function<void()> showOnboarding;
    std::function<void()> showPairingCode;
    std::function<std::optional<std::filesystem::path>()> storeLocation;
};

class TrayIcon {
  public:
    // Everything must outlive the icon.
    TrayIcon(CompanionRuntime& runtime, AccessibilityPermission& permission, LaunchAtLogin& login,
             CompanionPreferences& preferences, TrayHooks hooks);
    ~TrayIcon();

    QMenu& menu() { return *menu_; }
    // How long the last derivation and rebuild of the menu took, from the state change that asked for it.
    std::chrono::microseconds lastRebuildLatency() const { return lastRebuildLatency_; }

  private:
    void scheduleRebuild();
    void rebuild();
    void update(QMenu& into, const std::vector<MenuItem>& list);
    void perform(const MenuAction& action);

    CompanionRuntime& runtime_;
    AccessibilityPermission& permission_;
    LaunchAtLogin& login_;
    CompanionPreferences& preferences_;
    TrayHooks hooks_;
    // Draws the menu and its submenus; it outlives them.
    std::unique_ptr<QStyle> style_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::unique_ptr<StateWatch> watch_;
    // What each of the menu's actions does, by the index in its data; derived again with the menu.
    std::vector<MenuAction> choices_;
    bool rebuildPending_ = false;
    std::chrono::steady_clock::time_point changedAt_;
    std::chrono::microseconds lastRebuildLatency_{0};
};

}  // namespace Shell
