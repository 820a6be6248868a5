// What the log tells of phones connecting: a phone that connects again and again cannot flood it.
#include <gtest/gtest.h>

#include "app/core/StatusLog.h"
#include "platform/LogCapture.h"

namespace Shell {
namespace {

std::size_t linesContaining(const platform::LogCapture& capture, const std::string& text) {
    std::size_t count = 0;
    for (const auto& entry : capture.entries()) {
        count += entry.message.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

TEST(StatusLog, ConnectionNoticesShownOverAndOverAreLoggedWithinABudgetAndTheRestIsCounted) {
    platform::LogCapture capture;
    LoggedConnectionNotices notices;
    for (int i = 0; i < 1000; ++i) {
        notices.show({ConnectionNotice{DeviceID::random(), "Phone"}});
    }
    EXPECT_EQ(linesContaining(capture, "Connection notice"), static_cast<std::size_t>(sessionLineBurst));

    const platform::Logger log("dev.quelmar.trackpad.mac", "companion");
    platform::NoticeBudget budget{sessionLineBurst, sessionLineWindow};
    for (int i = 0; i < 100; ++i) {
        logWithinBudget(log, budget, 0, platform::LogLevel::info, "Connected iPhones: 1", "about connecting");
    }
    logWithinBudget(log, budget, sessionLineWindow, platform::LogLevel::info, "Not connected", "about connecting");
    EXPECT_EQ(linesContaining(capture, "Connected iPhones"), static_cast<std::size_t>(sessionLineBurst));
    EXPECT_EQ(linesContaining(capture, std::to_string(100 - sessionLineBurst) + " more lines"), 1u);
    EXPECT_EQ(linesContaining(capture, "Not connected"), 1u);
}

}  // namespace
}  // namespace Shell
