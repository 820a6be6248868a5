#include "protocol/input/PointerFrameAccumulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "protocol/input/tests/InputPrinting.h"

namespace TrackpadProtocol {
namespace {

constexpr double frame = 1.0 / 120.0;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

Message move(float dx, float dy) {
    return Message::Move{dx, dy};
}
using Messages = std::vector<Message>;

TEST(PointerFrameAccumulator, InitialiserSanitisesIntervalAndMaximumDelay) {
    struct Case {
        double interval, maxDelay, expectedInterval, expectedMaxDelay;
    };
    const Case cases[] = {
        {nan, 0.05, frame, 0.05},      {inf, 0.05, frame, 0.05},    {-inf, 0.05, frame, 0.05},
        {-1, 0.05, 0, 0.05},           {0.02, 0.01, 0.02, 0.02},    {0.05, nan, 0.05, 0.05},
        {0.001, inf, 0.001, 1.0 / 60}, {nan, nan, frame, 1.0 / 60}, {0, -3, 0, 0},
    };
    for (const auto& c : cases) {
        PointerFrameAccumulator accumulator(c.interval, c.maxDelay);
        EXPECT_DOUBLE_EQ(accumulator.frameInterval, c.expectedInterval) << c.interval << " " << c.maxDelay;
        EXPECT_DOUBLE_EQ(accumulator.maxDelay, c.expectedMaxDelay) << c.interval << " " << c.maxDelay;
        EXPECT_EQ(accumulator.pendingDX, 0);
        EXPECT_FALSE(accumulator.firstPendingTime);
        EXPECT_FALSE(accumulator.lastReleaseTime);
    }
}

TEST(PointerFrameAccumulator, CoalescesMotionIntoOneMovePerFrame) {
    PointerFrameAccumulator accumulator;
    EXPECT_TRUE(accumulator.add(move(1, 2), 10.0).empty());
    EXPECT_TRUE(accumulator.add(Message::Drag{DragPhase::changed, 3, 4}, 10.004).empty());
    ASSERT_TRUE(accumulator.releaseTime());
    EXPECT_DOUBLE_EQ(*accumulator.releaseTime(), 10.0 + frame);

    EXPECT_TRUE(accumulator.releaseIfDue(10.0 + frame - 1e-6).empty());
    // Within 1e-9 of the due time counts as due; the release is dated at the due time.
    EXPECT_EQ(accumulator.releaseIfDue(10.0 + frame - 5e-10), (Messages{move(4, 6)}));
    EXPECT_DOUBLE_EQ(*accumulator.lastReleaseTime, 10.0 + frame);
    EXPECT_FALSE(accumulator.firstPendingTime);
    EXPECT_FALSE(accumulator.releaseTime());
}

TEST(PointerFrameAccumulator, LateReleaseIsDatedNowAndPacesTheNextFrameFromIt) {
    PointerFrameAccumulator accumulator;
    accumulator.add(move(1, 0), 0);
    EXPECT_EQ(accumulator.releaseIfDue(frame * 1.5), (Messages{move(1, 0)}));
    EXPECT_DOUBLE_EQ(*accumulator.lastReleaseTime, frame);  // less than a frame late: dated when due

    accumulator.add(move(1, 0), 1.0);
    EXPECT_EQ(accumulator.releaseIfDue(1.0 + 3 * frame), (Messages{move(1, 0)}));
    EXPECT_DOUBLE_EQ(*accumulator.lastReleaseTime, 1.0 + 3 * frame);

    // Motion soon after a release waits for the next frame after the release, not a frame after itself.
    accumulator.add(move(2, 0), 1.0 + 3.2 * frame);
    EXPECT_DOUBLE_EQ(*accumulator.releaseTime(), 1.0 + 4 * frame);
    // Motion long after the last release goes one frame after it arrived.
    PointerFrameAccumulator idle;
    idle.lastReleaseTime = 0;
    idle.add(move(2, 0), 5.0);
    EXPECT_DOUBLE_EQ(*idle.releaseTime(), 5.0 + frame);
}

TEST(PointerFrameAccumulator, ReleaseTimeNeverLiesBeyondTheMaximumDelay) {
    PointerFrameAccumulator accumulator(0.01, 0.015);
    accumulator.lastReleaseTime = 2.0;  // a release "after" the motion, as after a clock step back
    accumulator.add(move(1, 1), 1.99);
    EXPECT_DOUBLE_EQ(*accumulator.releaseTime(), 1.99 + 0.015);  // not 2.0 + 0.01

    // Driven as the injector's timer drives it, no delta waits longer than the maximum delay and every
    // delta comes out exactly once.
    std::mt19937 random(7);
    std::uniform_real_distribution<double> gap(0, 0.02);
    std::uniform_int_distribution<int> delta(-5, 5);
    PointerFrameAccumulator paced;
    double now = 0, sentX = 0, postedX = 0;
    std::optional<double> oldestWaiting;
    auto post = [&](const Messages& items, double at) {
        for (const auto& item : items) {
            ASSERT_TRUE(oldestWaiting);
            EXPECT_LE(at - *oldestWaiting, paced.maxDelay + 1e-9);
            postedX += item.as<Message::Move>()->dx;
            oldestWaiting.reset();
        }
    };
    for (int i = 0; i < 2000; ++i) {
        const double next = now + gap(random);
        // The timer fires at the due time when that comes before the next delta.
        if (auto due = paced.releaseTime(); due && *due <= next)
            post(paced.releaseIfDue(*due), *due);
        now = next;
        const float dx = static_cast<float>(delta(random));
        post(paced.add(move(dx, 1), now), now);
        sentX += dx;
        if (!oldestWaiting && paced.firstPendingTime)
            oldestWaiting = now;
    }
    post(paced.release(now), now);
    EXPECT_EQ(postedX, sentX);
}

TEST(PointerFrameAccumulator, AnyOtherMessageFlushesPendingMotionAheadOfItself) {
    PointerFrameAccumulator accumulator;
    accumulator.add(move(1, 1), 0);
    const Message tap = Message::Tap{1};
    EXPECT_EQ(accumulator.add(tap, 0.001), (Messages{move(1, 1), tap}));
    EXPECT_DOUBLE_EQ(*accumulator.lastReleaseTime, 0.001);
    // Nothing pending: the message comes out alone.
    EXPECT_EQ(accumulator.add(tap, 0.002), (Messages{tap}));

    // Drags flush at their start and end; their changes are motion and come out as moves.
    const Message began = Message::Drag{DragPhase::began, 0, 0};
    const Message ended = Message::Drag{DragPhase::ended, 1, 0};
    EXPECT_EQ(accumulator.add(began, 1.0), (Messages{began}));
    accumulator.add(Message::Drag{DragPhase::changed, 2, 0}, 1.001);
    EXPECT_EQ(accumulator.add(ended, 1.002), (Messages{move(2, 0), ended}));
}

TEST(PointerFrameAccumulator, PositionedMotionIsAccumulatedByItsInnerDeltas) {
    PointerFrameAccumulator accumulator;
    const UUID session = UUID::random();
    accumulator.add(Message::Positioned{move(2, 3), PointerStamp{session, 1, 0, 2, 3}}, 0);
    accumulator.add(Message::Positioned{Message{Message::Drag{DragPhase::changed, 1, 1}},
                                        PointerStamp{session, 2, 0, 3, 4}},
                    0.001);
    const Message tap = Message::Positioned{Message{Message::Tap{1}}, PointerStamp{session, 3, 0, 3, 4}};
    EXPECT_EQ(accumulator.add(tap, 0.002), (Messages{move(3, 4), tap}));
}

TEST(PointerFrameAccumulator, WithoutAFrameIntervalMotionGoesOutAtOnce) {
    PointerFrameAccumulator accumulator(0, 0);
    EXPECT_EQ(accumulator.add(move(0.5f, 0), 3.0), (Messages{move(0.5f, 0)}));
    EXPECT_DOUBLE_EQ(*accumulator.lastReleaseTime, 3.0);
    EXPECT_FALSE(accumulator.firstPendingTime);
}

TEST(PointerFrameAccumulator, SumsThatCancelAsFloatsAreCleared) {
    PointerFrameAccumulator accumulator;
    accumulator.add(move(0.1f, -2), 0);
    EXPECT_TRUE(accumulator.add(move(-0.1f, 2), 0.004).empty());
    EXPECT_FALSE(accumulator.firstPendingTime);
    EXPECT_FALSE(accumulator.releaseTime());
    // The next delta starts a frame of its own rather than inheriting the cancelled one's time.
    accumulator.add(move(1, 0), 0.006);
    EXPECT_DOUBLE_EQ(*accumulator.releaseTime(), 0.006 + frame);

    // One axis cancelling is not enough.
    PointerFrameAccumulator oneAxis;
    oneAxis.add(move(1, 1), 0);
    oneAxis.add(move(-1, 0), 0.001);
    EXPECT_EQ(oneAxis.release(0.002), (Messages{move(0, 1)}));

    // A sum too small for a float counts as zero: no release time, nothing released.
    PointerFrameAccumulator tiny;
    tiny.pendingDX = 1e-50;
    tiny.pendingDY = -1e-50;
    tiny.firstPendingTime = 0;
    EXPECT_FALSE(tiny.releaseTime());
    EXPECT_TRUE(tiny.releaseIfDue(1.0).empty());
    EXPECT_TRUE(tiny.release(1.0).empty());
    EXPECT_FALSE(tiny.lastReleaseTime);
    EXPECT_EQ(tiny.pendingDX, 0);
}

TEST(PointerFrameAccumulator, SumsBeyondTheFloatRangeAreDropped) {
    PointerFrameAccumulator accumulator;
    accumulator.add(move(3e38f, 0), 0);
    accumulator.add(move(3e38f, 0), 0.001);
    EXPECT_TRUE(accumulator.release(0.002).empty());
    EXPECT_FALSE(accumulator.lastReleaseTime);
    EXPECT_EQ(accumulator.pendingDX, 0);
    EXPECT_FALSE(accumulator.firstPendingTime);
}

TEST(PointerFrameAccumulator, NonFiniteTimesNeverBecomeReleaseOrDueTimes) {
    PointerFrameAccumulator accumulator;
    accumulator.add(move(1, 0), 0);
    EXPECT_TRUE(accumulator.releaseIfDue(nan).empty());
    EXPECT_TRUE(accumulator.releaseIfDue(inf).empty());
    EXPECT_TRUE(accumulator.releaseIfDue(-inf).empty());
    EXPECT_TRUE(accumulator.firstPendingTime);

    // Released dated at no time: the last release time stays as it was.
    EXPECT_EQ(accumulator.release(std::nullopt), (Messages{move(1, 0)}));
    EXPECT_EQ(accumulator.add(move(1, 0), 1.0), Messages{});
    EXPECT_EQ(accumulator.release(nan), (Messages{move(1, 0)}));
    EXPECT_FALSE(accumulator.lastReleaseTime);

    // Motion at a time that cannot be scheduled goes out at once, with everything pending.
    accumulator.add(move(1, 0), 2.0);
    EXPECT_EQ(accumulator.add(move(2, 0), nan), (Messages{move(3, 0)}));
    EXPECT_FALSE(accumulator.releaseTime());
    EXPECT_EQ(accumulator.add(move(2, 0), inf), (Messages{move(2, 0)}));
    EXPECT_FALSE(accumulator.lastReleaseTime);
}

TEST(PointerFrameAccumulator, NonFiniteDeltasDoNotSpoilTheirFrame) {
    PointerFrameAccumulator accumulator;
    accumulator.add(move(1, 1), 0);
    accumulator.add(move(std::numeric_limits<float>::quiet_NaN(), 0), 0.001);
    accumulator.add(move(0, std::numeric_limits<float>::infinity()), 0.002);
    EXPECT_EQ(accumulator.releaseIfDue(frame), (Messages{move(1, 1)}));
}

TEST(PointerFrameAccumulator, MotionFirstReleasesWhatIsAlreadyDue) {
    PointerFrameAccumulator accumulator;
    accumulator.add(move(1, 0), 0);
    EXPECT_EQ(accumulator.add(move(2, 0), 0.02), (Messages{move(1, 0)}));
    EXPECT_DOUBLE_EQ(*accumulator.lastReleaseTime, 0.02);
    EXPECT_DOUBLE_EQ(*accumulator.firstPendingTime, 0.02);
    EXPECT_EQ(accumulator.pendingDX, 2);
}

}  // namespace
}  // namespace TrackpadProtocol
