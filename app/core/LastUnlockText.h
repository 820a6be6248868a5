#pragma once
// The last unlock as the menu's summary line and as the details alert.
#include <functional>
#include <string>

#include "app/core/CompanionRuntime.h"

namespace Shell {

// "Unlocked", "Still locked", ... one per status.
const char* unlockStatusText(TrackpadProtocol::UnlockResult::Status status);

struct UnlockDetails {
    bool informational = false;  // else a warning
    std::string message;
    std::string informative;
};

// Formats a date as a time of day: hours and minutes for the summary, with seconds for the details.
using TimeFormatter = std::function<std::string(Date)>;

// "Last unlock (" + time + "): " + status text.
std::string lastUnlockSummary(const LastUnlock& last, const TimeFormatter& shortTime);
UnlockDetails lastUnlockDetails(const LastUnlock& last, const TimeFormatter& timeWithSeconds);

}  // namespace Shell
