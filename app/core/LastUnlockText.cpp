#include "app/core/LastUnlockText.h"

namespace Shell {

const char* unlockStatusText(TrackpadProtocol::UnlockResult::Status status) {
    using Status = TrackpadProtocol::UnlockResult::Status;
    switch (status) {
        case Status::unlocked:
            return "Unlocked";
        case Status::stillLocked:
            return "Still locked";
        case Status::notLocked:
            return "Screen wasn't locked";
        case Status::notAllowed:
            return "Not allowed";
        case Status::accessibilityRequired:
            return "Needs Accessibility";
        case Status::busy:
            return "Another unlock was running";
        case Status::cannotType:
            return "A character can't be typed";
        case Status::notReached:
            return "Didn't reach the password field";
    }
    return "";
}

std::string lastUnlockSummary(const LastUnlock& last, const TimeFormatter& shortTime) {
    return "Last unlock (" + shortTime(last.date) + "): " + unlockStatusText(last.report.status);
}

UnlockDetails lastUnlockDetails(const LastUnlock& last, const TimeFormatter& timeWithSeconds) {
    UnlockDetails details;
    details.informational = last.report.status == TrackpadProtocol::UnlockResult::Status::unlocked;
    details.message = std::string("Last unlock: ") + unlockStatusText(last.report.status);
    details.informative = last.report.reason + "\n\n";
    if (last.report.entry) {
        details.informative += std::string("Password: ") + displayText(*last.report.entry) + ". ";
    }
    details.informative +=
        "At " + timeWithSeconds(last.date) +
        ".\n\nEvery step is in the Console app: search for subsystem dev.quelmar.trackpad.mac, "
        "category unlock. The password is never logged.";
    return details;
}

}  // namespace Shell
