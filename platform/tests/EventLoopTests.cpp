#include "platform/EventLoop.h"

#include <poll.h>
#include <fcntl.h>
#include <unistd.h>

#include <future>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

using namespace std::chrono_literals;

// Ends a run() that would otherwise hang when a wake-up is lost, and records that it had to.
struct Guard {
    Guard(EventLoop& loop, std::chrono::microseconds after) {
        loop.schedule(after, [this, &loop] {
            fired = true;
            loop.stop();
        });
    }
    bool fired = false;
};

struct Pipe {
    Pipe() {
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category());
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (fds[0] >= 0)
            ::close(fds[0]);
        fds[0] = -1;
    }
    void closeWrite() {
        if (fds[1] >= 0)
            ::close(fds[1]);
        fds[1] = -1;
    }
    void put(char byte) { ASSERT_EQ(::write(fds[1], &byte, 1), 1); }
    int readEnd() const { return fds[0]; }
    int writeEnd() const { return fds[1]; }
    int fds[2] = {-1, -1};
};

TEST(EventLoopTimers, RunInDeadlineOrderAndTiesInSchedulingOrder) {
    EventLoop loop;
    std::vector<std::string> order;
    loop.schedule(60ms, [&] {
        order.push_back("60ms");
        loop.stop();
    });
    loop.schedule(20ms, [&] { order.push_back("20ms"); });
    loop.schedule(40ms, [&] { order.push_back("40ms"); });
    // Both due before the loop first looks: they run in one pass, in the order they were scheduled.
    loop.schedule(0us, [&] { order.push_back("first"); });
    loop.schedule(0us, [&] { order.push_back("second"); });
    loop.run();
    EXPECT_EQ(order, (std::vector<std::string>{"first", "second", "20ms", "40ms", "60ms"}));
}

TEST(EventLoopTimers, NeverFireEarlyAndHonourMicrosecondDelays) {
    EventLoop loop;
    std::vector<double> late;
    for (auto delay : {300us, 1500us, 2700us}) {
        const double start = monotonicSeconds();
        loop.schedule(delay, [&, start, delay] {
            late.push_back(loop.now() - start - static_cast<double>(delay.count()) / 1e6);
            if (late.size() == 3)
                loop.stop();
        });
    }
    loop.run();
    ASSERT_EQ(late.size(), 3u);
    for (double lateness : late)
        EXPECT_GE(lateness, 0.0);
}

TEST(EventLoopTimers, CancelledTimersDoNotRun) {
    EventLoop loop;
    bool ranB = false, ranC = false, ranD = false;
    std::vector<Executor::TimerID> ids;
    // A cancels B although both fell due before the same pass.
    loop.schedule(0us, [&] { loop.cancel(ids.at(0)); });
    ids.push_back(loop.schedule(0us, [&] { ranB = true; }));
    // Cancelled from another thread before it was due.
    const auto c = loop.schedule(5ms, [&] { ranC = true; });
    std::thread([&] { loop.cancel(c); }).join();
    // Cancelled by a posted task.
    const auto d = loop.schedule(5ms, [&] { ranD = true; });
    loop.post([&] { loop.cancel(d); });
    loop.schedule(20ms, [&] { loop.stop(); });
    loop.run();
    EXPECT_FALSE(ranB);
    EXPECT_FALSE(ranC);
    EXPECT_FALSE(ranD);
    // Unknown, fired and cancelled ids are ignored.
    loop.cancel(0);
    loop.cancel(ids.at(0));
    loop.cancel(12345);
}

TEST(EventLoopTimers, AreNeverRescheduledByThemselvesWithinOnePass) {
    // A timer that re-schedules itself at once must not keep the pass (and the posted task) waiting.
    EventLoop loop;
    int ticks = 0;
    bool posted = false;
    std::function<void()> tick = [&] {
        ++ticks;
        if (!posted)
            loop.schedule(0us, tick);
    };
    loop.schedule(0us, tick);
    loop.post([&] {
        posted = true;
        loop.stop();
    });
    loop.run();
    EXPECT_TRUE(posted);
    EXPECT_GE(ticks, 1);
}

TEST(EventLoopTimers, LeewayOfOneTimerDoesNotDelayAnother) {
    EventLoop loop;
    Guard guard(loop, 10s);
    bool lenientRan = false;
    loop.schedule(
        1ms, [&] { lenientRan = true; }, 60s);
    loop.schedule(5ms, [&] { loop.stop(); });
    loop.run();
    EXPECT_FALSE(guard.fired);
    // The lenient timer was due first and may share the strict one's wake-up.
    EXPECT_TRUE(lenientRan);
}

TEST(EventLoopTimers, LeewayAllowsLatenessButFiresAtTheDeadlineUnlessThatSavesAWakeUp) {
    EventLoop loop;
    Guard guard(loop, 60s);  // beyond the leeways below, so that no timer waits for it
    // Alone, a lenient timer fires at its deadline, not at the end of its leeway.
    const double first = loop.now();
    loop.schedule(
        5ms, [&] { loop.stop(); }, 20s);
    loop.run();
    EXPECT_LT(loop.now() - first, 10.0);

    // Within its leeway of a later timer's deadline, it waits for that wake-up and both run in one pass.
    const double start = loop.now();
    double lenientAt = 0;
    std::vector<std::string> order;
    loop.schedule(
        20ms,
        [&] {
            lenientAt = loop.now();
            order.push_back("lenient");
        },
        5s);
    loop.schedule(80ms, [&] {
        order.push_back("strict");
        loop.stop();
    });
    loop.run();
    EXPECT_EQ(order, (std::vector<std::string>{"lenient", "strict"}));
    EXPECT_GE(lenientAt - start, 0.080);

    // Out of reach of its leeway, it does not wait.
    double shortAt = 0;
    const double again = loop.now();
    loop.schedule(
        20ms, [&] { shortAt = loop.now(); }, 10ms);
    loop.schedule(1s, [&] { loop.stop(); });
    loop.run();
    EXPECT_LT(shortAt - again, 1.0);
    EXPECT_GT(shortAt, 0);
    EXPECT_FALSE(guard.fired);
}

TEST(EventLoopTimers, ScheduleFromAnotherThreadWakesABlockedLoop) {
    EventLoop loop;
    Guard guard(loop, 10s);
    std::promise<void> running;
    loop.post([&] { running.set_value(); });
    std::thread other([&] {
        running.get_future().wait();
        loop.schedule(1ms, [&] { loop.stop(); });
    });
    loop.run();
    other.join();
    EXPECT_FALSE(guard.fired);
}

TEST(EventLoopPost, TasksFromManyThreadsRunOnTheLoopInPerThreadOrder) {
    EventLoop loop;
    constexpr int threads = 4, perThread = 500;
    std::vector<std::vector<int>> seen(threads);
    int total = 0;
    bool allOnLoop = true;
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                loop.post([&, t, i] {
                    allOnLoop = allOnLoop && loop.isCurrent();
                    seen[t].push_back(i);
                    if (++total == threads * perThread)
                        loop.stop();
                });
        });
    loop.run();
    for (auto& poster : posters)
        poster.join();
    EXPECT_TRUE(allOnLoop);
    for (const auto& values : seen) {
        ASSERT_EQ(values.size(), static_cast<std::size_t>(perThread));
        for (int i = 0; i < perThread; ++i)
            EXPECT_EQ(values[i], i);
    }
}

TEST(EventLoopPost, TasksPostedWhileRunningWaitForTheNextPass) {
    EventLoop loop;
    std::vector<std::string> order;
    loop.post([&] {
        order.push_back("a");
        loop.post([&] { order.push_back("c"); });
    });
    loop.post([&] { order.push_back("b"); });
    loop.runOnce();
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
    loop.runOnce();
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(EventLoopPost, EndlessRepostingStarvesNeitherTimersNorWatches) {
    EventLoop loop;
    Pipe pipe;
    pipe.put('x');
    bool timerRan = false, watchRan = false;
    std::function<void()> again = [&] { loop.post(again); };
    loop.post(again);
    const auto id = loop.watch(pipe.readEnd(), EventLoop::readable, [&](std::uint32_t) {
        watchRan = true;
        char byte;
        (void)!::read(pipe.readEnd(), &byte, 1);
    });
    loop.schedule(2ms, [&] {
        timerRan = true;
        loop.stop();
    });
    loop.run();
    loop.removeWatch(id);
    EXPECT_TRUE(timerRan);
    EXPECT_TRUE(watchRan);
}

TEST(EventLoopPost, ATaskThatThrowsKeepsTheRestOfItsBatch) {
    EventLoop loop;
    bool ranAfter = false;
    loop.post([] { throw std::runtime_error("task failed"); });
    loop.post([&] { ranAfter = true; });
    EXPECT_THROW(loop.runOnce(), std::runtime_error);
    EXPECT_FALSE(ranAfter);
    loop.runOnce();
    EXPECT_TRUE(ranAfter);
}

TEST(EventLoopRun, StopFromAnotherThreadEndsRun) {
    EventLoop loop;
    std::promise<void> running;
    loop.post([&] { running.set_value(); });
    std::thread other([&] {
        running.get_future().wait();
        loop.stop();
    });
    loop.run();  // would hang without the stop
    other.join();
}

TEST(EventLoopRun, StopBeforeRunReturnsAtOnceAndTheLoopRunsAgainAfterwards) {
    EventLoop loop;
    bool ran = false;
    loop.stop();
    loop.post([&] { ran = true; });
    loop.run();
    EXPECT_FALSE(ran);
    loop.post([&] { loop.stop(); });
    loop.run();
    EXPECT_TRUE(ran);
}

TEST(EventLoopRun, RunForReturnsAfterItsTimeWithoutAStop) {
    EventLoop loop;
    const double start = monotonicSeconds();
    loop.runFor(0.02);
    const double elapsed = monotonicSeconds() - start;
    EXPECT_GE(elapsed, 0.02);
    EXPECT_LT(elapsed, 10.0);

    bool stopped = false;
    loop.post([&] {
        stopped = true;
        loop.stop();
    });
    loop.runFor(60);  // the stop ends it long before
    EXPECT_TRUE(stopped);
}

TEST(EventLoopRun, IsCurrentOnlyOnTheRunningThread) {
    EventLoop loop;
    bool inside = false;
    loop.post([&] {
        inside = loop.isCurrent();
        loop.stop();
    });
    std::thread runner([&] { loop.run(); });
    runner.join();
    EXPECT_TRUE(inside);
    EXPECT_FALSE(loop.isCurrent());
}

TEST(EventLoopWatch, ReadableWritableAndHangUp) {
    EventLoop loop;
    Guard guard(loop, 10s);
    Pipe pipe;
    std::string received;
    std::uint32_t writeEvents = 0;
    EventLoop::WatchID writer = 0;
    writer = loop.watch(pipe.writeEnd(), EventLoop::writable, [&](std::uint32_t events) {
        writeEvents = events;
        pipe.put('h');
        pipe.put('i');
        loop.removeWatch(writer);  // its own watch, before the descriptor goes
        pipe.closeWrite();
    });
    bool hungUp = false;
    const auto reader = loop.watch(pipe.readEnd(), EventLoop::readable, [&](std::uint32_t events) {
        EXPECT_EQ(events, EventLoop::readable);
        char buffer[16];
        const ssize_t count = ::read(pipe.readEnd(), buffer, sizeof buffer);
        if (count > 0)
            received.append(buffer, static_cast<std::size_t>(count));
        if (count == 0) {
            hungUp = true;
            loop.stop();
        }
    });
    loop.run();
    loop.removeWatch(reader);
    EXPECT_FALSE(guard.fired);
    EXPECT_EQ(writeEvents, EventLoop::writable);
    EXPECT_EQ(received, "hi");
    EXPECT_TRUE(hungUp);
}

TEST(EventLoopWatch, AHandlerMayRemoveAnotherWatchReadyInTheSamePass) {
    EventLoop loop;
    Pipe first, second;
    first.put('1');
    second.put('2');
    int calls = 0;
    EventLoop::WatchID ids[2];
    ids[0] = loop.watch(first.readEnd(), EventLoop::readable, [&](std::uint32_t) {
        ++calls;
        loop.removeWatch(ids[1]);
    });
    ids[1] = loop.watch(second.readEnd(), EventLoop::readable, [&](std::uint32_t) {
        ++calls;
        loop.removeWatch(ids[0]);
    });
    loop.runOnce();       // both are ready in this one pass
    EXPECT_EQ(calls, 1);  // whichever ran first removed the other before it was called
    loop.removeWatch(ids[0]);
    loop.removeWatch(ids[1]);
}

TEST(EventLoopWatch, AWatchWithNoEventsIsSilentEvenOnAHungUpDescriptor) {
    EventLoop loop;
    Pipe pipe;
    pipe.closeWrite();
    int calls = 0;
    EventLoop::WatchID id = 0;
    id = loop.watch(pipe.readEnd(), EventLoop::readable, [&](std::uint32_t) {
        ++calls;
        loop.updateWatch(id, 0);
    });
    for (int i = 0; i < 5; ++i)
        loop.runOnce();
    EXPECT_EQ(calls, 1);
    loop.updateWatch(id, EventLoop::readable);
    loop.runOnce();
    EXPECT_EQ(calls, 2);
    loop.removeWatch(id);
}

TEST(EventLoopWatch, RefusesASecondWatchAndABadDescriptor) {
    EventLoop loop;
    Pipe pipe;
    const auto id = loop.watch(pipe.readEnd(), EventLoop::readable, [](std::uint32_t) {});
    EXPECT_THROW(loop.watch(pipe.readEnd(), EventLoop::writable, [](std::uint32_t) {}),
                 std::invalid_argument);
    EXPECT_THROW(loop.watch(-1, EventLoop::readable, [](std::uint32_t) {}), std::system_error);
    loop.removeWatch(id);
    // Once removed, the descriptor can be watched again.
    loop.removeWatch(loop.watch(pipe.readEnd(), EventLoop::readable, [](std::uint32_t) {}));
}

}  // namespace
}  // namespace platform

// Driven from outside, the loop only runs when its descriptor is readable: every timer still pending
// after a pass must keep it armed, also one that was not yet due when an earlier one fired.
TEST(EventLoopDriven, ATimerLeftAfterAPassWakesTheDescriptorAgain) {
    platform::EventLoop loop;
    std::vector<int> fired;
    loop.schedule(std::chrono::milliseconds(5), [&] { fired.push_back(1); });
    loop.schedule(std::chrono::milliseconds(25), [&] { fired.push_back(2); });
    auto waitAndRun = [&] {
        pollfd ready{loop.fd(), POLLIN, 0};
        if (::poll(&ready, 1, 1000) != 1) return false;
        loop.runOnce();
        return true;
    };
    while (fired.size() < 2) {
        ASSERT_TRUE(waitAndRun()) << "the loop's descriptor never became readable for timer " << fired.size() + 1;
    }
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}
