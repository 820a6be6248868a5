#include "platform/Log.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/LogCapture.h"

namespace platform {
namespace {

// Restores the default minimum level however a test ends.
struct MinimumLevel {
    explicit MinimumLevel(LogLevel level) { setMinimumLogLevel(level); }
    ~MinimumLevel() { setMinimumLogLevel(LogLevel::info); }
};

TEST(Log, CaptureSeesSubsystemCategoryLevelAndMessage) {
    LogCapture capture;
    Logger logger("dev.test.subsystem", "pairing");
    logger.notice("peer accepted");
    logger.error("peer refused");
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].level, LogLevel::notice);
    EXPECT_EQ(entries[0].subsystem, "dev.test.subsystem");
    EXPECT_EQ(entries[0].category, "pairing");
    EXPECT_EQ(entries[0].message, "peer accepted");
    EXPECT_EQ(entries[1].level, LogLevel::error);
    EXPECT_TRUE(capture.contains("refused"));
    EXPECT_FALSE(capture.contains("password"));
}

TEST(Log, DebugIsDroppedUnlessTheMinimumIsLowered) {
    LogCapture capture;
    Logger logger("dev.test", "level");
    logger.debug("hidden");
    {
        MinimumLevel lowered(LogLevel::debug);
        logger.debug("shown");
    }
    {
        MinimumLevel raised(LogLevel::error);
        logger.notice("also hidden");
    }
    logger.info("default again");
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].message, "shown");
    EXPECT_EQ(entries[1].message, "default again");
}

TEST(Log, EnvironmentLowersTheMinimumLevel) {
    // The variable is read once per process, so the check runs in a fresh one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::setenv("LUMIVEX_LOG", "debug", 1);
            LogCapture capture;
            Logger("dev.test", "environment").debug("visible");
            std::_Exit(capture.contains("visible") ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Log, SinksAreSwappedSafelyWhileOtherThreadsLog) {
    auto count = [](const LogRecord&, void* context) { ++*static_cast<std::atomic<int>*>(context); };
    std::atomic<int> outer{0}, inner{0};
    const auto original = setLogSink(count, &outer);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            Logger logger("dev.test", "threads");
            for (int i = 0; i < 500; ++i)
                logger.info("line");
        });
    // Sinks come and go meanwhile; each line lands in exactly one of them.
    for (int i = 0; i < 200; ++i) {
        const auto previous = setLogSink(count, &inner);
        setLogSink(previous.first, previous.second);
    }
    for (auto& thread : threads)
        thread.join();
    setLogSink(original.first, original.second);
    EXPECT_EQ(outer + inner, 2000);
}

TEST(Log, SetLogSinkReturnsThePreviousOneAndNullRestoresTheDefault) {
    auto count = [](const LogRecord&, void* context) { ++*static_cast<int*>(context); };
    int lines = 0;
    const auto original = setLogSink(count, &lines);
    Logger("dev.test", "sink").info("one");
    const auto mine = setLogSink(nullptr, nullptr);
    EXPECT_EQ(mine.second, &lines);
    const auto restoredDefault = setLogSink(original.first, original.second);
    EXPECT_EQ(restoredDefault.first, original.first);
    EXPECT_EQ(lines, 1);
}

TEST(Log, DefaultSinkWritesOneLineToStandardErrorWithoutJournald) {
    if (::access("/run/systemd/journal/socket", F_OK) == 0)
        GTEST_SKIP() << "journald is running here, so lines go to the journal instead";
    ::testing::internal::CaptureStderr();
    Logger("dev.test.subsystem", "network").notice("listening on port 1234");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "dev.test.subsystem [network] listening on port 1234\n");
}

}  // namespace
}  // namespace platform
