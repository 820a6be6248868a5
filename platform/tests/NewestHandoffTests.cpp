#include <gtest/gtest.h>

#include <string>

#include "platform/NewestHandoff.h"

namespace platform {
namespace {

// Jobs faster than the worker leave one task and one call queued, and each side gets only the newest;
// what was passed over comes back to be released by the caller.
TEST(NewestHandoff, OnlyTheNewestJobAndResultWaitAndOneTaskAndOneCallAreAskedFor) {
    NewestHandoff<int, std::string> handoff;
    EXPECT_FALSE(handoff.busy());
    auto first = handoff.offer(1);
    EXPECT_TRUE(first.schedule);
    EXPECT_FALSE(first.replaced);
    auto second = handoff.offer(2);
    EXPECT_FALSE(second.schedule) << "a task is queued already";
    EXPECT_EQ(second.replaced, 1);

    EXPECT_EQ(handoff.take(), 2);
    EXPECT_TRUE(handoff.busy()) << "being worked on";
    EXPECT_TRUE(handoff.offer(3).schedule) << "the task under way took its job: another is wanted";
    auto delivered = handoff.deliver("two");
    EXPECT_TRUE(delivered.post);
    EXPECT_FALSE(delivered.again) << "job 3 has its task";

    EXPECT_EQ(handoff.take(), 3);
    EXPECT_FALSE(handoff.offer(4).replaced);
    delivered = handoff.deliver("three");
    EXPECT_FALSE(delivered.post) << "the owner's call is queued already";
    EXPECT_FALSE(delivered.again) << "job 4 has its task";
    EXPECT_EQ(delivered.overtaken, "two");
    EXPECT_EQ(handoff.take(), 4);
    delivered = handoff.deliver("four");
    EXPECT_EQ(delivered.overtaken, "three");

    EXPECT_EQ(handoff.collect(), "four");
    EXPECT_FALSE(handoff.busy());
    EXPECT_FALSE(handoff.collect());

    // A dropped job leaves its task with nothing to do; the next offer asks for a task again.
    EXPECT_TRUE(handoff.offer(5).schedule);
    EXPECT_EQ(handoff.dropWaiting(), 5);
    EXPECT_FALSE(handoff.take());
    EXPECT_FALSE(handoff.busy());
    EXPECT_TRUE(handoff.offer(6).schedule);
}

}  // namespace
}  // namespace platform
