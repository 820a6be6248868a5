#pragma once
// Logs what the menu and the panels show, as it changes: the status line, a pending pairing's code, how
// a pairing ended, the connected phones, the permission and the last unlock. Without a tray this is
// how the user learns the pairing code; with one, the log keeps a record.
//
// Thread: the main queue.
#include <memory>

#include "app/core/CompanionRuntime.h"

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

}  // namespace Shell
