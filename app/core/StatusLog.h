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
#include "platform/Log.h"
#include "platform/NoticeBudget.h"

namespace Shell {

// Lines a paired phone causes by connecting and disconnecting, logged per window; the rest are counted
// and told in one line.
inline constexpr int sessionLineBurst = 10;
inline constexpr double sessionLineWindow = 60;

// Logs `line` to `log` within `budget`, first telling what the budget held back in the window before
// ("N more lines <topic> were not logged ..."); `now` in seconds on a clock that does not go back.
void logWithinBudget(const platform::Logger& log, platform::NoticeBudget& budget, double now,
                     platform::LogLevel level, const std::string& line, std::string_view topic);

// Lines a paired phone causes by asking to unlock over and over, logged per window.
inline constexpr int unlockLineBurst = 20;
inline constexpr double unlockLineWindow = 10;

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

  private:
    // A phone that connects again and again must not flood the log.
    platform::NoticeBudget budget_{sessionLineBurst, sessionLineWindow};
};

}  // namespace Shell
