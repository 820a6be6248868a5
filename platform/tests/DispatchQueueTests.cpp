#include "platform/DispatchQueue.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

TEST(DispatchQueue, RunsTasksInOrderOnItsOwnThread) {
    DispatchQueue queue("dev.test.order");
    std::vector<int> seen;  // touched only on the queue
    bool allOnQueue = true;
    for (int i = 0; i < 1000; ++i)
        queue.async([&, i] {
            allOnQueue = allOnQueue && queue.isCurrent();
            seen.push_back(i);
        });
    std::vector<int> copy;
    queue.sync([&] { copy = seen; });
    ASSERT_EQ(copy.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(copy[i], i);
    EXPECT_TRUE(allOnQueue);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(DispatchQueue, ThreadIsNamedAfterTheLabelCutToFifteenBytes) {
    {
        DispatchQueue queue("capture");
        std::string name;
        queue.sync([&] { name = currentThreadName(); });
        EXPECT_EQ(name, "capture");
    }
    {
        DispatchQueue queue("dev.quelmar.trackpad.encoder");
        std::string name;
        queue.sync([&] { name = currentThreadName(); });
        EXPECT_EQ(name, "dev.quelmar.tra");
        EXPECT_EQ(queue.label(), "dev.quelmar.trackpad.encoder");
    }
    {
        // The two-byte "é" would straddle the limit; the name stops before it.
        DispatchQueue queue("fourteen-bytes\xC3\xA9tail");
        std::string name;
        queue.sync([&] { name = currentThreadName(); });
        EXPECT_EQ(name, "fourteen-bytes");
    }
}

TEST(DispatchQueue, DestructorRunsEverythingQueuedBeforeJoining) {
    std::atomic<int> ran{0};
    std::promise<void> release;
    {
        DispatchQueue queue("dev.test.drain");
        queue.async([future = release.get_future().share()] { future.wait(); });
        for (int i = 0; i < 100; ++i)
            queue.async([&] {
                ++ran;
                if (ran == 100)
                    queue.async([&] { ++ran; });  // queued during the drain: runs too
            });
        release.set_value();
    }
    EXPECT_EQ(ran, 101);
}

TEST(DispatchQueue, AQueueReleasedByItsOwnTaskFinishesWhatWasQueuedAndIsJoinedByTheProcess) {
    std::atomic<bool> taskFinished{false};
    std::atomic<bool> laterRan{false};
    {
        auto queue = std::make_shared<DispatchQueue>("dev.test.self");
        DispatchQueue& target = *queue;
        std::promise<void> queued;
        target.async([&, future = queued.get_future().share(), owner = std::move(queue)]() mutable {
            future.wait();
            // The last owner goes here, on the queue's own thread: the thread cannot join itself.
            owner.reset();
            taskFinished = true;
        });
        target.async([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            laterRan = true;
        });
        queued.set_value();
    }
    // What the released queue still runs may post to the main loop or log: both must still be there.
    EXPECT_TRUE(WorkerThread::joinAll(std::chrono::seconds(10)));
    EXPECT_TRUE(taskFinished);
    EXPECT_TRUE(laterRan);
}

// A queue let go of on its own thread whose task does not end: the wait for every worker gives up at its
// time-out rather than joining it, and joins it once it has ended.
TEST(DispatchQueue, TheWaitForEveryWorkerKeepsToItsTimeOutWhenAReleasedQueueDoesNotEnd) {
    std::promise<void> release;
    std::atomic<bool> released{false};
    std::promise<void> dropped;
    {
        auto queue = std::make_shared<DispatchQueue>("dev.test.stuck");
        DispatchQueue& target = *queue;
        std::promise<void> queued;
        target.async([owner = std::move(queue), &dropped, waitQueued = queued.get_future().share(),
                      waitRelease = release.get_future().share()]() mutable {
            waitQueued.wait();
            owner.reset();
            dropped.set_value();
            waitRelease.wait();
        });
        queued.set_value();
        dropped.get_future().wait();
    }
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        released = true;
        release.set_value();
    });
    EXPECT_FALSE(WorkerThread::joinAll(std::chrono::milliseconds(100)));
    EXPECT_FALSE(released) << "the wait outlasted its time-out";
    releaser.join();
    EXPECT_TRUE(WorkerThread::joinAll(std::chrono::seconds(10)));
}

TEST(DispatchQueue, ATaskThatThrowsIsLoggedAndTheQueueGoesOn) {
    DispatchQueue queue("dev.test.throws");
    std::atomic<int> ran{0};
    queue.async([] { throw std::invalid_argument("image size must be from 1 to 16384 per side"); });
    queue.async([] { throw 42; });
    queue.async([&] { ++ran; });
    queue.sync([] {});
    EXPECT_EQ(ran, 1);
}

TEST(DispatchQueue, DiscardPendingDropsTheBacklogButKeepsTheRunningTaskAndSyncCallers) {
    std::promise<void> release;
    std::promise<void> started;
    std::atomic<int> ran{0};
    auto owned = std::make_shared<int>(0);
    DispatchQueue queue("dev.test.discard");
    queue.async([&, future = release.get_future().share()] {
        started.set_value();
        future.wait();
        ++ran;
    });
    started.get_future().wait();
    for (int i = 0; i < 100; ++i)
        queue.async([&, owned] { ++ran; });
    std::thread waiter([&] { queue.sync([&] { ran += 1000; }); });
    // Time for the waiter to queue its task behind the backlog (were it later, it would be kept anyway).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(queue.discardPending(), 100u);
    EXPECT_EQ(owned.use_count(), 1);  // released at once
    release.set_value();
    waiter.join();
    EXPECT_EQ(ran, 1001);
}

TEST(DispatchQueue, SyncRethrowsAndRefusesToRunOnItsOwnQueue) {
    DispatchQueue queue("dev.test.sync");
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("failed on the queue"); }), std::runtime_error);
    bool refused = false;
    queue.async([&] {
        try {
            queue.sync([] {});
        } catch (const std::logic_error&) {
            refused = true;
        }
    });
    queue.sync([] {});
    EXPECT_TRUE(refused);
}

}  // namespace
}  // namespace platform
