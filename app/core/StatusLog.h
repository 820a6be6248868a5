#pragma once
// Logs what the menu and the panels show, as it changes: the status line, a pending pairing's code, how
// a pairing ended, the connected phones, the permission and the last unlock. Without a tray this is
// how the user learns the pairing code; with one, the log keeps a record.
//
// Thread: the main queue.
#include <memory>

#include "app/core/CompanionRuntime.h"
#include "app/core/ConnectionNotices.h"
#include "app/core/PairingPanel.h"

namespace Shell {

class StatusLog {
  public:
    // Both must outlive the log.
    StatusLog(CompanionRuntime& runtime, AccessibilityPermission& permission);
    ~StatusLog();

  private:
    struct Subscriptions;
    std::unique_ptr<Subscriptions> subscriptions_;
};

// Without windows, the panels' announcements go to the log.
class LoggedPairingPanel final : public PairingPanelPresenting {
  public:
    void show() override {}
    void hide() override {}
    void announce(const std::string& text) override;
};

class LoggedConnectionNotices final : public ConnectionNoticePresenting {
  public:
    void show(const std::vector<ConnectionNotice>& notices) override;
    void dismiss() override {}
};

}  // namespace Shell
