#include "platform/LoopQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <thread>

namespace platform {
namespace {

TEST(LoopQueue, AnOwnerReleasedByOneOfItsTasksLetsThatTaskAndThePostedOnesFinish) {
    auto queue = std::make_shared<LoopQueue>("loop-queue-test");
    std::atomic<bool> finishedTask{false};
    std::promise<void> laterRan;
    std::promise<void> released;
    queue->sync([&] { EXPECT_TRUE(queue->isCurrent()); });
    LoopQueue& target = *queue;
    target.post([&, owner = std::move(queue)]() mutable {
        owner->post([&] { laterRan.set_value(); });
        // The last owner goes here, on the queue's own thread: no join of itself, no freed loop.
        owner.reset();
        finishedTask = true;
        released.set_value();
    });
    auto releasedFuture = released.get_future();
    auto laterFuture = laterRan.get_future();
    ASSERT_EQ(releasedFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(finishedTask);
    EXPECT_EQ(laterFuture.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

std::size_t threadCount() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                                  std::filesystem::directory_iterator()));
}

TEST(LoopQueue, AQueueReleasedByItsOwnTaskIsJoinedWithWhatWasPostedToIt) {
    std::atomic<bool> lastRan{false};
    std::size_t threadsWithTheQueue = 0;
    {
        auto queue = std::make_shared<LoopQueue>("loop-queue-test");
        threadsWithTheQueue = threadCount();
        LoopQueue& target = *queue;
        target.post([&, owner = std::move(queue)]() mutable {
            owner->post([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                lastRan = true;
            });
            owner.reset();
        });
    }
    // What the released queue still runs may post to the main loop or log: both must still be there.
    EXPECT_TRUE(WorkerThread::joinAll(std::chrono::seconds(10)));
    EXPECT_TRUE(lastRan);
    EXPECT_EQ(threadCount(), threadsWithTheQueue - 1);
}

TEST(LoopQueue, TasksAndTimersThatThrowAreLoggedAndTheQueueGoesOn) {
    LoopQueue queue("loop-queue-throws");
    std::atomic<int> ran{0};
    queue.post([] { throw std::invalid_argument("image size must be from 1 to 16384 per side"); });
    queue.post([&] { ++ran; });
    queue.schedule(std::chrono::microseconds(0), [] { throw 42; });
    std::promise<void> timerRan;
    queue.schedule(std::chrono::milliseconds(1), [&] { timerRan.set_value(); });
    ASSERT_EQ(timerRan.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    queue.sync([] {});
    EXPECT_EQ(ran, 1);
}

}  // namespace
}  // namespace platform
