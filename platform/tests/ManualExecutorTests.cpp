#include "platform/ManualExecutor.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

using namespace std::chrono_literals;

TEST(ManualExecutor, AdvanceRunsEachTimerAtItsOwnTimeInDeadlineOrder) {
    ManualExecutor executor(100.0);
    std::vector<std::pair<std::string, double>> runs;
    auto record = [&](std::string name) { return [&, name] { runs.emplace_back(name, executor.now()); }; };
    executor.schedule(3s, record("3s"));
    executor.schedule(1s, record("1s-a"));
    executor.schedule(2s, record("2s"));
    executor.schedule(1s, record("1s-b"));
    executor.schedule(9s, record("9s"));
    executor.advance(5.0);
    EXPECT_EQ(runs, (std::vector<std::pair<std::string, double>>{
                        {"1s-a", 101.0}, {"1s-b", 101.0}, {"2s", 102.0}, {"3s", 103.0}}));
    EXPECT_DOUBLE_EQ(executor.now(), 105.0);
    EXPECT_EQ(executor.pendingTimers(), 1u);
}

TEST(ManualExecutor, PostedTasksAreDrainedBetweenTimers) {
    ManualExecutor executor;
    std::vector<std::string> order;
    executor.schedule(1s, [&] {
        order.push_back("timer a");
        executor.post([&] {
            order.push_back("posted by a");
            executor.post([&] { order.push_back("posted by that"); });
        });
    });
    executor.schedule(1s, [&] { order.push_back("timer b"); });
    executor.advance(1.0);
    EXPECT_EQ(order, (std::vector<std::string>{"timer a", "posted by a", "posted by that", "timer b"}));
}

TEST(ManualExecutor, TimersScheduledOnTheWayRunInTheSameAdvance) {
    ManualExecutor executor(0.0);
    std::vector<double> times;
    executor.schedule(1s, [&] {
        times.push_back(executor.now());
        executor.schedule(500ms, [&] { times.push_back(executor.now()); });
        executor.schedule(0us, [&] { times.push_back(executor.now()); });
        executor.schedule(5s, [&] { times.push_back(executor.now()); });
    });
    executor.advance(2.0);
    EXPECT_EQ(times, (std::vector<double>{1.0, 1.0, 1.5}));
    EXPECT_EQ(executor.pendingTimers(), 1u);
}

TEST(ManualExecutor, ATimerCancelledByAnEarlierOneAtTheSameInstantDoesNotRun) {
    ManualExecutor executor;
    bool ran = false;
    Executor::TimerID victim = 0;
    executor.schedule(1s, [&] { executor.cancel(victim); });
    victim = executor.schedule(1s, [&] { ran = true; });
    executor.advance(1.0);
    EXPECT_FALSE(ran);
    EXPECT_EQ(executor.pendingTimers(), 0u);
    executor.cancel(victim);  // already gone: ignored
}

TEST(ManualExecutor, ManySmallStepsReachADeadlineExactly) {
    // 0.1 is not exact in binary; ten steps of it must still reach a one-second timer.
    ManualExecutor executor(0.0);
    bool ran = false;
    executor.schedule(1s, [&] { ran = true; });
    for (int i = 0; i < 9; ++i)
        executor.advance(0.1);
    EXPECT_FALSE(ran);
    executor.advance(0.1);
    EXPECT_TRUE(ran);
}

TEST(ManualExecutor, RunNextTimerJumpsToIt) {
    ManualExecutor executor(10.0);
    std::vector<double> times;
    executor.schedule(250ms, [&] { times.push_back(executor.now()); });
    executor.schedule(1500ms, [&] { times.push_back(executor.now()); });
    EXPECT_TRUE(executor.runNextTimer());
    EXPECT_TRUE(executor.runNextTimer());
    EXPECT_FALSE(executor.runNextTimer());
    EXPECT_EQ(times, (std::vector<double>{10.25, 11.5}));
    EXPECT_DOUBLE_EQ(executor.now(), 11.5);
}

TEST(ManualExecutor, NothingRunsUntilDrainedAndDrainKeepsTime) {
    ManualExecutor executor;
    int runs = 0;
    executor.post([&] { ++runs; });
    executor.schedule(0us, [&] { ++runs; });
    EXPECT_EQ(runs, 0);
    executor.drain();
    EXPECT_EQ(runs, 1);  // the timer waits for time to move, even by nothing
    executor.advance(0.0);
    EXPECT_EQ(runs, 2);
    EXPECT_DOUBLE_EQ(executor.now(), 1000.0);
}

}  // namespace
}  // namespace platform
