#pragma once
// The companion's windows: the pairing panel, the connection notice, the onboarding window, and the
// alerts. Each draws what its toolkit-free controller decided.
#include <memory>

#include "app/core/ConnectionNotices.h"
#include "app/core/LastUnlockText.h"
#include "app/core/PairingPanel.h"

class QWidget;
class QLabel;
class QPushButton;
class QTimer;
class QPropertyAnimation;

namespace Shell {

// Places a window at the top right of the primary screen's available area, 12 points inside.
void placeTopRight(QWidget& window);

// The time of day in the locale's short format, and with seconds.
std::string shortTimeOfDay(Date date);
std::string timeOfDayWithSeconds(Date date);

class PairingPanelWindow final : public PairingPanelPresenting {
  public:
    explicit PairingPanelWindow(CompanionRuntime& runtime);
    ~PairingPanelWindow() override;

    void show() override;
    void hide() override;
    void announce(const std::string& text) override;
    // Set once the controller exists: what Cancel Pairing and Escape do.
    void setCancel(std::function<void()> cancel);
    QWidget& widget();

  private:
    void render();

    struct Parts;
    CompanionRuntime& runtime_;
    std::unique_ptr<Parts> parts_;
    platform::Published<PairingProgress>::Subscription subscription_;
};

class ConnectionNoticeWindow final : public ConnectionNoticePresenting {
  public:
    ConnectionNoticeWindow();
    ~ConnectionNoticeWindow() override;
    void show(const std::vector<ConnectionNotice>& notices) override;
    void dismiss() override;
    QWidget* widget();

  private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    int generation_ = 0;
};

class OnboardingWindow {
  public:
    explicit OnboardingWindow(AccessibilityPermission& permission);
    ~OnboardingWindow();
    void show();
    QWidget* widget();

  private:
    void render();

    AccessibilityPermission& permission_;
    struct Parts;
    std::unique_ptr<Parts> parts_;
    platform::Published<AccessibilityStatus>::Subscription subscription_;
};

void showLastUnlockDetails(const LastUnlock& last);
// True when the user chose Reset.
bool confirmResetTrustedDevices();

}  // namespace Shell
