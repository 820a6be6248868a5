#pragma once
// Whether the companion may post input. On X11 there is no per-application grant: the process may post
// when the X display is reachable and offers XTEST. The status is polled once a second, so a display
// that goes away (or comes back) is noticed within about a second.
//
// Thread: the main queue.
#include <memory>

#include "platform/Executor.h"
#include "platform/Published.h"

namespace Shell {

enum class AccessibilityStatus { granted, missing };

// Asks the system whether input may be posted. Cheap enough to call for every phone message.
class TrustProbe {
  public:
    virtual ~TrustProbe() = default;
    virtual bool isTrusted() = 0;
};

// The display named by $DISPLAY is reachable and offers XTEST. Keeps one connection and makes a new one
// when the old one broke.
class SystemTrustProbe final : public TrustProbe {
  public:
    SystemTrustProbe();
    ~SystemTrustProbe() override;
    bool isTrusted() override;

  private:
    struct Connection;
    std::unique_ptr<Connection> connection_;
    double lastConnectAttempt_ = -1;
};

class AccessibilityPermission {
  public:
    // Nothing to open on this desktop; kept for the callers that pass it on.
    static constexpr const char* settingsURL =
        "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
    static constexpr double pollInterval = 1.0;

    // Reads the probe once for the initial status. Both must outlive the permission.
    AccessibilityPermission(platform::Executor& executor, TrustProbe& probe);
    ~AccessibilityPermission();
    AccessibilityPermission(const AccessibilityPermission&) = delete;
    AccessibilityPermission& operator=(const AccessibilityPermission&) = delete;

    platform::Published<AccessibilityStatus>& status() { return status_; }
    AccessibilityStatus currentStatus() const { return status_.value(); }

    // The probe's answer now, without publishing it.
    bool isTrusted() { return probe_.isTrusted(); }
    // Reads the probe and publishes the status when it changed.
    void refresh();
    // Polls every second until stopPolling(); a second call does nothing.
    void startPolling();
    // Cancels the poll; a pending poll does not read the probe again.
    void stopPolling();
    bool isPolling() const { return polling_; }

  private:
    void schedulePoll();

    platform::Executor& executor_;
    TrustProbe& probe_;
    platform::Published<AccessibilityStatus> status_;
    platform::Executor::TimerID pollTimer_ = 0;
    bool polling_ = false;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace Shell
