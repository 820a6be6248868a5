#include "app/core/PairingPanel.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace Shell {

namespace {

using CompanionNetwork::PairingOutcome;

std::string digitsOf(const TrackpadProtocol::PairingCode& code) {
    std::string digits;
    for (char c : code.description()) {
        if (c != ' ') {
            digits += c;
        }
    }
    return digits;
}

}  // namespace

std::string wrongCodeMessage(int failedAttempts, int maxFailedAttempts) {
    const int left = std::max(0, maxFailedAttempts - failedAttempts);
    return "Wrong code. " + std::to_string(left) + (left == 1 ? " try" : " tries") + " left.";
}

std::string spokenDigits(const TrackpadProtocol::PairingCode& code) {
    std::string spoken;
    for (char c : digitsOf(code)) {
        if (!spoken.empty()) {
            spoken += ' ';
        }
        spoken += c;
    }
    return spoken;
}

std::string pairingFailureReason(const PairingOutcome& outcome) {
    if (outcome.is<PairingOutcome::WrongCodeLockout>()) {
        return "Too many wrong codes. Try again in a little while.";
    }
    if (outcome.is<PairingOutcome::Expired>()) {
        return "The code expired before it was entered.";
    }
    if (outcome.is<PairingOutcome::Cancelled>()) {
        return "Pairing was cancelled.";
    }
    if (outcome.is<PairingOutcome::Disconnected>()) {
        return "The iPhone disconnected.";
    }
    if (outcome.is<PairingOutcome::Declined>()) {
        return "Pairing was declined.";
    }
    return "Paired.";
}

PairingPanelContent pairingPanelContent(const PairingProgress& progress, Date now, int maxFailedAttempts) {
    PairingPanelContent content;
    if (auto waiting = std::get_if<PairingProgress::Waiting>(&progress.kind)) {
        const auto& p = waiting->pairing;
        content.kind = PairingPanelContent::Kind::waiting;
        content.title = "Pair with " + p.deviceName;
        content.message = "Enter this code on your iPhone.";
        content.code = p.code.description();
        content.codeAccessibility = "Pairing code " + spokenDigits(p.code);
        content.digitsCaption = std::to_string(TrackpadProtocol::PairingCode::digitCount) + " digits";
        const double left = std::chrono::duration<double>(p.expiresAt - now).count();
        const long long remaining = static_cast<long long>(std::ceil(left));
        const long long shown = std::max(0LL, remaining);
        char clock[32];
        std::snprintf(clock, sizeof clock, "%lld:%02lld", shown / 60, shown % 60);
        content.countdown = std::string("Expires in ") + clock;
        content.countdownAccessibility = "Expires in " + std::to_string(shown) + " seconds";
        content.countdownUrgent = remaining <= 15;
        content.wrongCode = p.failedAttempts != 0;
        content.statusLine = content.wrongCode ? wrongCodeMessage(p.failedAttempts, maxFailedAttempts)
                                               : std::string("Waiting for the code\u2026");
        content.cancelHint = "Stops pairing with " + p.deviceName;
    } else if (auto succeeded = std::get_if<PairingProgress::Succeeded>(&progress.kind)) {
        content.kind = PairingPanelContent::Kind::succeeded;
        content.title = "Paired";
        content.message = succeeded->deviceName + " can now control this Mac.";
    } else if (auto failed = std::get_if<PairingProgress::Failed>(&progress.kind)) {
        content.kind = PairingPanelContent::Kind::failed;
        content.title = "Pairing failed";
        content.message = pairingFailureReason(failed->outcome);
    }
    return content;
}

PairingPanelController::PairingPanelController(CompanionRuntime& companion, PairingPanelPresenting& presenter,
                                               platform::Executor& executor)
    : companion_(companion), presenter_(presenter), executor_(executor) {}

PairingPanelController::~PairingPanelController() {
    cancelDismiss();
}

void PairingPanelController::install() {
    if (subscription_) {
        return;
    }
    std::weak_ptr<char> alive = alive_;
    // Published delivers only changes, so equal values in a row reach apply once.
    subscription_ = companion_.pairingProgress.subscribe([this, alive](const PairingProgress& progress) {
        if (!alive.expired()) {
            apply(progress);
        }
    });
}

void PairingPanelController::uninstall() {
    subscription_.reset();
    cancelDismiss();
    presenter_.hide();
}

void PairingPanelController::cancelDismiss() {
    if (dismissTimer_ != 0) {
        executor_.cancel(dismissTimer_);
        dismissTimer_ = 0;
    }
}

void PairingPanelController::apply(const PairingProgress& progress) {
    cancelDismiss();
    const int maxFailed = CompanionRuntime::pairingConfiguration().maxFailedAttempts;
    if (auto waiting = std::get_if<PairingProgress::Waiting>(&progress.kind)) {
        const auto& p = waiting->pairing;
        const std::string digits = digitsOf(p.code);
        if (shownCode_ == digits) {
            if (p.failedAttempts == shownFailedAttempts_) {
                return;
            }
            shownFailedAttempts_ = p.failedAttempts;
            // A panel the user closed stays closed; the content of an open one follows.
            presenter_.announce(wrongCodeMessage(p.failedAttempts, maxFailed));
            return;
        }
        shownCode_ = digits;
        shownFailedAttempts_ = p.failedAttempts;
        presenter_.show();
        presenter_.announce(p.deviceName + " wants to pair. Pairing code " + spokenDigits(p.code) + ".");
    } else if (auto succeeded = std::get_if<PairingProgress::Succeeded>(&progress.kind)) {
        shownCode_.reset();
        presenter_.show();
        presenter_.announce("Paired with " + succeeded->deviceName + ".");
        scheduleDismiss(succeededDismissDelay);
    } else if (auto failed = std::get_if<PairingProgress::Failed>(&progress.kind)) {
        shownCode_.reset();
        presenter_.show();
        presenter_.announce("Pairing failed. " + pairingFailureReason(failed->outcome));
        scheduleDismiss(failedDismissDelay);
    } else {
        shownCode_.reset();
        presenter_.hide();
    }
}

void PairingPanelController::scheduleDismiss(double delay) {
    std::weak_ptr<char> alive = alive_;
    dismissTimer_ =
        executor_.schedule(std::chrono::microseconds(static_cast<long long>(delay * 1e6)), [this, alive] {
            if (alive.expired()) {
                return;
            }
            dismissTimer_ = 0;
            // A progress that became waiting (or idle) meanwhile is left alone.
            companion_.clearFinishedPairing();
        });
}

}  // namespace Shell
