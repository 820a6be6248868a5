#include "platform/LoopQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>

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

}  // namespace
}  // namespace platform
