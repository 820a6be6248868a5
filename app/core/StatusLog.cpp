#include "app/core/StatusLog.h"

#include <chrono>

#include "network/LogText.h"
#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "companion");

std::string outcomeText(const CompanionNetwork::PairingOutcome& outcome) {
    using O = CompanionNetwork::PairingOutcome;
    if (outcome.is<O::WrongCodeLockout>()) {
        return "Too many wrong codes. Try again in a little while.";
    }
    if (outcome.is<O::Expired>()) {
        return "The code expired before it was entered.";
    }
    if (outcome.is<O::Cancelled>()) {
        return "Pairing was cancelled.";
    }
    if (outcome.is<O::Disconnected>()) {
        return "The iPhone disconnected.";
    }
    if (outcome.is<O::Declined>()) {
        return "Pairing was declined.";
    }
    return "Paired.";
}

constexpr std::string_view connectingTopic = "about connecting iPhones";

double secondsNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

void logWithinBudget(const platform::Logger& log, platform::NoticeBudget& budget, double now,
                     platform::LogLevel level, const std::string& line, std::string_view topic) {
    const platform::NoticeBudget::Decision decision = budget.take(now);
    if (decision.heldBack > 0) {
        log.info(std::to_string(decision.heldBack) + " more lines " + std::string(topic) +
                 " were not logged in " + std::to_string(static_cast<int>(budget.window())) + " s");
    }
    if (decision.log) {
        log.log(level, line);
    }
}

struct StatusLog::Subscriptions {
    platform::Published<std::string>::Subscription status;
    platform::Published<std::optional<PendingPairing>>::Subscription pending;
    platform::Published<PairingProgress>::Subscription progress;
    platform::Published<std::set<DeviceID>>::Subscription connected;
    platform::Published<std::optional<LastUnlock>>::Subscription lastUnlock;
    platform::Published<AccessibilityStatus>::Subscription permission;
    platform::NoticeBudget connectedLines{sessionLineBurst, sessionLineWindow};
    platform::NoticeBudget unlockLines{unlockLineBurst, unlockLineWindow};
};

StatusLog::StatusLog(CompanionRuntime& runtime, AccessibilityPermission& permission)
    : subscriptions_(std::make_unique<Subscriptions>()) {
    subscriptions_->status =
        runtime.status.subscribe([](const std::string& text) { logger.info("Status: " + text); });
    subscriptions_->pending =
        runtime.pendingPairing.subscribe([](const std::optional<PendingPairing>& pairing) {
            if (pairing) {
                logger.notice("Pairing code for " + CompanionNetwork::quotedForLog(pairing->deviceName) +
                              ": " + pairing->code.description());
            }
        });
    subscriptions_->progress = runtime.pairingProgress.subscribe([](const PairingProgress& progress) {
        if (auto succeeded = std::get_if<PairingProgress::Succeeded>(&progress.kind)) {
            logger.notice("Paired with " + CompanionNetwork::quotedForLog(succeeded->deviceName));
        } else if (auto failed = std::get_if<PairingProgress::Failed>(&progress.kind)) {
            logger.notice("Pairing failed. " + outcomeText(failed->outcome));
        }
    });
    subscriptions_->connected = runtime.connectedDevices.subscribe(
        [budget = &subscriptions_->connectedLines](const std::set<DeviceID>& devices) {
            logWithinBudget(logger, *budget, secondsNow(), platform::LogLevel::info,
                            devices.empty() ? std::string("Not connected")
                                            : "Connected iPhones: " + std::to_string(devices.size()),
                            connectingTopic);
        });
    subscriptions_->lastUnlock = runtime.lastUnlock.subscribe(
        [budget = &subscriptions_->unlockLines](const std::optional<LastUnlock>& last) {
            if (last) {
                logWithinBudget(logger, *budget, secondsNow(), platform::LogLevel::notice,
                                std::string("Last unlock: ") + TrackpadProtocol::toString(last->report.status) +
                                    ": " + last->report.reason,
                                "about unlock attempts");
            }
        });
    auto logPermission = [](AccessibilityStatus status) {
        logger.notice(
            status == AccessibilityStatus::granted
                ? "Accessibility: Allowed (the X display is reachable and offers XTEST)"
                : "Accessibility: Not Allowed (the X display cannot be reached or offers no XTEST); "
                  "phone input is dropped");
    };
    subscriptions_->permission = permission.status().subscribe(logPermission);
    // A status that never changes (no XTEST from the start) is still said once.
    logPermission(permission.currentStatus());
}

StatusLog::~StatusLog() = default;

void LoggedPairingPanel::announce(const std::string& text) {
    logger.info("Pairing panel: " + CompanionNetwork::quotedForLog(text));
}

void LoggedConnectionNotices::show(const std::vector<ConnectionNotice>& notices) {
    logWithinBudget(
        logger, budget_, secondsNow(), platform::LogLevel::notice,
        "Connection notice: " + CompanionNetwork::quotedForLog(joinedNames(notices, {}) + " connected."),
        connectingTopic);
}

}  // namespace Shell
