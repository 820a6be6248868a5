// The screen-lock monitor on virtual time: start, notifications with their rechecks, the poll, stop.
#include <gtest/gtest.h>

#include "injector/ScreenLockMonitor.h"
#include "platform/ManualExecutor.h"

namespace Injector {
namespace {

class ScreenLockMonitorTest : public ::testing::Test {
  protected:
    ScreenLockMonitor& monitor(std::optional<double> poll = 2.0,
                               std::vector<double> delays = {0.3, 1.0, 3.0}) {
        monitor_ = std::make_unique<ScreenLockMonitor>(
            executor,
            [this] {
                ++reads;
                return locked;
            },
            [this](std::function<void()> handler) {
                ++subscriptions;
                notify = std::move(handler);
                return [this] { notify = nullptr; };
            },
            poll, std::move(delays));
        return *monitor_;
    }
    void onChange(bool value) { changes.push_back(value); }

    platform::ManualExecutor executor;
    bool locked = false;
    int reads = 0;
    int subscriptions = 0;
    std::function<void()> notify;
    std::vector<bool> changes;
    std::unique_ptr<ScreenLockMonitor> monitor_;
};

TEST_F(ScreenLockMonitorTest, StartReadsWithoutReportingAndAChangeIsReportedOnce) {
    ScreenLockMonitor& m = monitor();
    EXPECT_FALSE(m.start([this](bool v) { onChange(v); }));
    EXPECT_EQ(m.status(), false);
    executor.advance(2.0);
    EXPECT_TRUE(changes.empty());
    // A lock notification whose probe still reads unlocked; the recheck at 0.3 s reads locked.
    notify();
    locked = true;
    executor.advance(0.29);
    EXPECT_TRUE(changes.empty());
    executor.advance(0.02);
    EXPECT_EQ(changes, std::vector<bool>{true});
    executor.advance(5);
    EXPECT_EQ(changes, std::vector<bool>{true});
}

TEST_F(ScreenLockMonitorTest, ANewNotificationRestartsTheRecheckSchedule) {
    ScreenLockMonitor& m = monitor(std::nullopt, {3, 0.3, 1});  // sorted at construction
    m.start([this](bool v) { onChange(v); });
    notify();
    executor.advance(0.5);
    const int before = reads;
    notify();
    executor.advance(0.25);  // 0.75 after the first: its 1 s recheck is gone
    EXPECT_EQ(reads, before + 1);
    executor.advance(0.1);  // 0.3 after the second
    EXPECT_EQ(reads, before + 2);
    executor.advance(0.7);
    EXPECT_EQ(reads, before + 3);
    executor.advance(2.0);
    EXPECT_EQ(reads, before + 4);
    executor.advance(10);
    EXPECT_EQ(reads, before + 4);  // no poll
}

TEST_F(ScreenLockMonitorTest, ThePollCatchesASilentChangeAndStopEndsEverything) {
    ScreenLockMonitor& m = monitor();
    m.start([this](bool v) { onChange(v); });
    m.start([this](bool v) { onChange(v); });
    EXPECT_EQ(subscriptions, 1);
    locked = true;
    executor.advance(2.0);
    EXPECT_EQ(changes, std::vector<bool>{true});
    EXPECT_EQ(executor.pendingTimers(), 1u);  // one poll task only
    m.stop();
    EXPECT_FALSE(notify);
    locked = false;
    executor.advance(10);
    EXPECT_EQ(changes, std::vector<bool>{true});
    EXPECT_EQ(m.status(), true);
    EXPECT_EQ(executor.pendingTimers(), 0u);
    EXPECT_FALSE(m.start([this](bool v) { onChange(v); }));
    EXPECT_EQ(subscriptions, 2);
}

TEST_F(ScreenLockMonitorTest, WithoutRecheckDelaysANotificationReadsOnce) {
    ScreenLockMonitor& m = monitor(std::nullopt, {});
    m.start([this](bool v) { onChange(v); });
    const int before = reads;
    notify();
    executor.advance(10);
    EXPECT_EQ(reads, before + 1);
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

}  // namespace
}  // namespace Injector
