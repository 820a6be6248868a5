#pragma once
// The pairing panel's decisions: when the code goes up, what is announced, when a finished pairing is
// dismissed, and what the panel shows at a given moment. The window itself only draws.
//
// Thread: the main queue.
#include <memory>
#include <optional>
#include <string>

#include "app/core/CompanionRuntime.h"

namespace Shell {

// "Wrong code. 2 tries left.", "Wrong code. 1 try left.", "Wrong code. 0 tries left."
std::string wrongCodeMessage(int failedAttempts, int maxFailedAttempts);
// "1 2 3 4 5 6", so that speech reads each digit.
std::string spokenDigits(const TrackpadProtocol::PairingCode& code);
// Why a pairing failed, as the panel and the announcement say it.
std::string pairingFailureReason(const CompanionNetwork::PairingOutcome& outcome);

// What the panel shows now.
struct PairingPanelContent {
    enum class Kind { waiting, succeeded, failed, idle };
    Kind kind = Kind::idle;
    std::string title;    // "Pair with …", "Paired", "Pairing failed"
    std::string message;  // "Enter this code on your iPhone.", the result's sentence
    // While waiting:
    std::string code;                    // "123 456"
    std::string codeAccessibility;       // "Pairing code 1 2 3 4 5 6"
    std::string digitsCaption;           // "6 digits"
    std::string countdown;               // "Expires in 1:59"
    std::string countdownAccessibility;  // "Expires in 119 seconds"
    bool countdownUrgent = false;        // 15 s or less
    std::string statusLine;              // "Waiting for the code…" or the wrong-code message
    bool wrongCode = false;
    std::string cancelHint;  // "Stops pairing with …"
    bool operator==(const PairingPanelContent&) const = default;
};
PairingPanelContent pairingPanelContent(const PairingProgress& progress, Date now, int maxFailedAttempts);

class PairingPanelPresenting {
  public:
    virtual ~PairingPanelPresenting() = default;
    // Makes the panel if needed, places it at the top right when it is hidden, brings it up without
    // taking the focus, and draws the current content.
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual void announce(const std::string& text) = 0;
};

class PairingPanelController {
  public:
    static constexpr double succeededDismissDelay = 1.5;
    static constexpr double failedDismissDelay = 3.0;

    // Everything must outlive the controller.
    PairingPanelController(CompanionRuntime& companion, PairingPanelPresenting& presenter,
                           platform::Executor& executor);
    ~PairingPanelController();

    void install();
    void uninstall();
    void show() { presenter_.show(); }
    void cancelPairing() { companion_.cancelPairing(); }
    void apply(const PairingProgress& progress);
    const std::optional<std::string>& shownCode() const { return shownCode_; }

  private:
    void scheduleDismiss(double delay);
    void cancelDismiss();

    CompanionRuntime& companion_;
    PairingPanelPresenting& presenter_;
    platform::Executor& executor_;
    std::optional<platform::Published<PairingProgress>::Subscription> subscription_;
    platform::Executor::TimerID dismissTimer_ = 0;
    std::optional<std::string> shownCode_;
    int shownFailedAttempts_ = 0;
    std::shared_ptr<char> alive_ = std::make_shared<char>();
};

}  // namespace Shell
