#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "injector/PointerEvents.h"

namespace Injector {
namespace {

using ::testing::ElementsAre;

std::vector<EventType> types(const EventList& events) {
    std::vector<EventType> result;
    for (const InputEvent& event : events) {
        result.push_back(event.type);
    }
    return result;
}

std::int64_t clickState(const InputEvent& event) {
    return event.integerField(EventField::mouseEventClickState);
}

class PointerEventsTest : public ::testing::Test {
  protected:
    PointerEventBuilder builder{0.5, 2.0};
};

TEST(SubpixelAccumulator, CarriesFractionsTowardZero) {
    SubpixelAccumulator accumulator;
    EXPECT_EQ(accumulator.take(0.6), 0);
    EXPECT_EQ(accumulator.take(0.6), 1);
    EXPECT_EQ(accumulator.take(-0.3), 0);
    EXPECT_NEAR(accumulator.remainder, -0.1, 1e-12);
    EXPECT_EQ(accumulator.take(-1.45), -1);
    EXPECT_NEAR(accumulator.remainder, -0.55, 1e-12);
}

TEST(SubpixelAccumulator, NonFiniteDeltaCountsAsNothing) {
    SubpixelAccumulator accumulator;
    accumulator.take(0.25);
    EXPECT_EQ(accumulator.take(std::nan("")), 0);
    EXPECT_EQ(accumulator.take(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(accumulator.remainder, 0.25);
}

TEST(SubpixelAccumulator, ClampsToThirtyTwoBits) {
    SubpixelAccumulator accumulator;
    EXPECT_EQ(accumulator.take(1e12), std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(accumulator.take(-1e12), std::numeric_limits<std::int32_t>::min());
}

TEST_F(PointerEventsTest, SlowMotionKeepsItsFractions) {
    builder.location = Point{100, 100};
    std::vector<std::int64_t> deltas;
    for (int i = 1; i <= 3; ++i) {
        const EventList events = builder.move(0.4, 0);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_DOUBLE_EQ(events[0].location.x, 100 + 0.4 * i);
        deltas.push_back(events[0].integerField(EventField::mouseEventDeltaX));
    }
    EXPECT_THAT(deltas, ElementsAre(0, 0, 1));
}

TEST_F(PointerEventsTest, MoveStopsAtTheEdgeButReportsTheFullDelta) {
    builder.displays = {{0, 0, 1000, 800}, {1000, 0, 800, 600}};
    builder.location = Point{1500, 500};
    const EventList events = builder.move(20.5, 300);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].location, (Point{1520.5, 599}));
    EXPECT_EQ(builder.location, (Point{1520.5, 599}));
    EXPECT_EQ(events[0].integerField(EventField::mouseEventDeltaX), 20);
    EXPECT_EQ(events[0].integerField(EventField::mouseEventDeltaY), 300);
    EXPECT_EQ(events[0].type, EventType::mouseMoved);
    EXPECT_EQ(clickState(events[0]), 0);
    EXPECT_EQ(events[0].integerField(EventField::eventSourceUserData), injectedEventTag);
}

TEST_F(PointerEventsTest, MoveWithoutALocationStartsAtTheOrigin) {
    const EventList events = builder.move(3, 4);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].location, (Point{3, 4}));
}

TEST_F(PointerEventsTest, InvalidOrEmptyMovesChangeNothing) {
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(builder.move(0, 0).empty());
    EXPECT_TRUE(builder.move(nan, 1).empty());
    EXPECT_TRUE(builder.move(1, inf).empty());
    EXPECT_FALSE(builder.location.has_value());
    builder.location = Point{std::numeric_limits<double>::max(), 0};
    EXPECT_TRUE(builder.move(std::numeric_limits<double>::max(), 0).empty());
    EXPECT_EQ(builder.location, (Point{std::numeric_limits<double>::max(), 0}));
    EXPECT_EQ(builder.pointerDeltaX.remainder, 0);
}

TEST_F(PointerEventsTest, TapsFollowingEachOtherRaiseTheClickState) {
    builder.location = Point{10, 20};
    const EventList first = builder.click(1, 0);
    const EventList second = builder.click(2, 0.3);
    const EventList third = builder.click(3, 0.5);
    ASSERT_THAT(types(first), ElementsAre(EventType::leftMouseDown, EventType::leftMouseUp));
    ASSERT_THAT(types(second), ElementsAre(EventType::leftMouseDown, EventType::leftMouseUp));
    EXPECT_EQ(clickState(first[0]), 1);
    EXPECT_EQ(clickState(first[1]), 1);
    EXPECT_EQ(clickState(second[0]), 2);
    EXPECT_EQ(clickState(second[1]), 2);
    EXPECT_EQ(clickState(third[0]), 3);
    EXPECT_EQ(first[0].location, (Point{10, 20}));
    EXPECT_EQ(first[0].integerField(EventField::eventSourceUserData), injectedEventTag);
    EXPECT_EQ(builder.lastClick, (LastClick{3, 3, 0.5}));
}

TEST_F(PointerEventsTest, ClickSequenceBreaksOnTimeOrNumbering) {
    builder.click(1, 0);
    EXPECT_EQ(clickState(builder.click(2, 2.5)[0]), 1) << "later than the window";
    builder.click(1, 10);
    EXPECT_EQ(clickState(builder.click(3, 10.1)[0]), 1) << "a tap number skipped";
    builder.click(1, 20);
    EXPECT_EQ(clickState(builder.click(1, 20.1)[0]), 1) << "a new sequence";
}

TEST_F(PointerEventsTest, ClickWindowIsTheLargerBound) {
    PointerEventBuilder longDoubleClick(3.0, 2.0);
    longDoubleClick.click(1, 0);
    EXPECT_EQ(clickState(longDoubleClick.click(2, 2.9)[0]), 2);
    builder.click(1, 0);
    EXPECT_EQ(clickState(builder.click(2, 2.0)[0]), 2) << "the window's end is inside";
    PointerEventBuilder unknownDoubleClick(std::nan(""), 2.0);
    unknownDoubleClick.click(1, 0);
    EXPECT_EQ(clickState(unknownDoubleClick.click(2, 1.5)[0]), 2) << "an unknown bound leaves the other";
}

TEST_F(PointerEventsTest, RightClickStartsTheNextTapSequenceAfresh) {
    builder.click(1, 0);
    const EventList right = builder.rightClick();
    ASSERT_THAT(types(right), ElementsAre(EventType::rightMouseDown, EventType::rightMouseUp));
    EXPECT_EQ(right[0].button, MouseButton::right);
    EXPECT_EQ(clickState(right[0]), 1);
    EXPECT_FALSE(builder.lastClick.has_value());
    EXPECT_EQ(clickState(builder.click(2, 0.2)[0]), 1);
}

TEST_F(PointerEventsTest, ClicksDuringADragReleaseTheButtonFirst) {
    builder.drag(DragPhase::began, 0, 0);
    EXPECT_THAT(types(builder.click(1, 0)),
                ElementsAre(EventType::leftMouseUp, EventType::leftMouseDown, EventType::leftMouseUp));
    EXPECT_FALSE(builder.leftButtonHeld);
    builder.drag(DragPhase::began, 0, 0);
    EXPECT_THAT(types(builder.rightClick()),
                ElementsAre(EventType::leftMouseUp, EventType::rightMouseDown, EventType::rightMouseUp));
    EXPECT_FALSE(builder.leftButtonHeld);
}

TEST_F(PointerEventsTest, DragPressesOnceMovesAsDraggedAndReleases) {
    builder.location = Point{50, 50};
    const EventList began = builder.drag(DragPhase::began, 5, 0);
    ASSERT_THAT(types(began), ElementsAre(EventType::leftMouseDown, EventType::leftMouseDragged));
    EXPECT_EQ(began[0].location, (Point{50, 50})) << "pressed before this message's delta";
    EXPECT_EQ(began[1].location, (Point{55, 50}));
    EXPECT_EQ(clickState(began[1]), 1);
    EXPECT_THAT(types(builder.drag(DragPhase::began, 0, 0)), ElementsAre()) << "no second press";
    const EventList changed = builder.drag(DragPhase::changed, 1, 1);
    ASSERT_THAT(types(changed), ElementsAre(EventType::leftMouseDragged));
    EXPECT_EQ(clickState(changed[0]), 1);
    const EventList ended = builder.drag(DragPhase::ended, 2, 0);
    ASSERT_THAT(types(ended), ElementsAre(EventType::leftMouseDragged, EventType::leftMouseUp));
    EXPECT_EQ(ended[1].location, (Point{58, 51}));
    EXPECT_EQ(clickState(ended[1]), 1);
    EXPECT_FALSE(builder.leftButtonHeld);
    EXPECT_THAT(types(builder.drag(DragPhase::ended, 1, 0)), ElementsAre(EventType::mouseMoved));
}

TEST_F(PointerEventsTest, DragBeginBreaksATapSequence) {
    builder.click(1, 0);
    builder.drag(DragPhase::began, 0, 0);
    builder.drag(DragPhase::ended, 0, 0);
    EXPECT_EQ(clickState(builder.click(2, 0.2)[1]), 1);
}

struct ScrollExpectation {
    std::int32_t wheel1;
    std::int32_t wheel2;
    std::int64_t scrollPhase;
    std::int64_t momentumPhase;
};

void expectScroll(const InputEvent& event, ScrollExpectation expected) {
    EXPECT_EQ(event.type, EventType::scrollWheel);
    EXPECT_EQ(event.wheel,
              (ScrollWheelAmounts{ScrollEventUnit::pixel, 2, expected.wheel1, expected.wheel2, 0}));
    EXPECT_EQ(event.integerField(EventField::scrollWheelEventScrollPhase), expected.scrollPhase);
    EXPECT_EQ(event.integerField(EventField::scrollWheelEventMomentumPhase), expected.momentumPhase);
    EXPECT_EQ(event.integerField(EventField::eventSourceUserData), injectedEventTag);
}

TEST_F(PointerEventsTest, ScrollBeganAlwaysPostsAndCarriesVerticalInWheelOne) {
    builder.location = Point{7, 8};
    const EventList began = builder.scroll(ScrollPhase::began, 0, 0);
    ASSERT_EQ(began.size(), 1u);
    expectScroll(began[0], {0, 0, 1, 0});
    EXPECT_EQ(began[0].location, (Point{7, 8}));
    const EventList changed = builder.scroll(ScrollPhase::changed, -3.5, 12.75);
    ASSERT_EQ(changed.size(), 1u);
    expectScroll(changed[0], {12, -3, 2, 0});
    EXPECT_EQ(builder.scrollState, ScrollState::scrolling);
}

TEST_F(PointerEventsTest, ScrollChangesWaitForWholePixels) {
    builder.scroll(ScrollPhase::began, 0, 0);
    EXPECT_TRUE(builder.scroll(ScrollPhase::changed, 0, 0.3).empty());
    EXPECT_TRUE(builder.scroll(ScrollPhase::changed, 0, 0.3).empty());
    EXPECT_TRUE(builder.scroll(ScrollPhase::changed, 0, 0.3).empty());
    const EventList fourth = builder.scroll(ScrollPhase::changed, 0, 0.3);
    ASSERT_EQ(fourth.size(), 1u);
    expectScroll(fourth[0], {1, 0, 2, 0});
}

TEST_F(PointerEventsTest, ScrollChangedWithoutABeginIsABegin) {
    const EventList events = builder.scroll(ScrollPhase::changed, 0, 0.5);
    ASSERT_EQ(events.size(), 1u);
    expectScroll(events[0], {0, 0, 1, 0});
}

TEST_F(PointerEventsTest, ScrollBeginDropsOldFractionsAndEndsARunningScroll) {
    builder.scroll(ScrollPhase::began, 0, 0.75);
    const EventList again = builder.scroll(ScrollPhase::began, 0, 0.5);
    ASSERT_EQ(again.size(), 2u);
    expectScroll(again[0], {0, 0, 4, 0});
    expectScroll(again[1], {0, 0, 1, 0});  // 0.75 + 0.5 would have made a pixel
}

TEST_F(PointerEventsTest, EndsWithoutARunningScrollPostNothing) {
    EXPECT_TRUE(builder.scroll(ScrollPhase::ended, 0, 5).empty());
    EXPECT_TRUE(builder.scroll(ScrollPhase::momentumEnded, 0, 5).empty());
    EXPECT_TRUE(builder.endScroll().empty());
    EXPECT_EQ(builder.scrollState, ScrollState::idle);
    builder.scroll(ScrollPhase::began, 0, 0);
    EXPECT_TRUE(builder.scroll(ScrollPhase::momentumEnded, 0, 5).empty());
    EXPECT_EQ(builder.scrollState, ScrollState::scrolling);
}

TEST_F(PointerEventsTest, ScrollEndedPostsEvenWithoutWholePixels) {
    builder.scroll(ScrollPhase::began, 0, 0);
    const EventList ended = builder.scroll(ScrollPhase::ended, 0, 0.2);
    ASSERT_EQ(ended.size(), 1u);
    expectScroll(ended[0], {0, 0, 4, 0});
    EXPECT_EQ(builder.scrollState, ScrollState::idle);
}

TEST_F(PointerEventsTest, MomentumEndsTheScrollAndKeepsItsFractions) {
    builder.scroll(ScrollPhase::began, 0, 0);
    builder.scroll(ScrollPhase::changed, 0, 2.5);
    const EventList momentum = builder.scroll(ScrollPhase::momentum, 0, 0.5);
    ASSERT_EQ(momentum.size(), 2u);
    expectScroll(momentum[0], {0, 0, 4, 0});
    expectScroll(momentum[1], {1, 0, 0, 1});
    EXPECT_EQ(builder.scrollState, ScrollState::momentum);
    EXPECT_TRUE(builder.scroll(ScrollPhase::momentum, 0, 0.4).empty());
    const EventList more = builder.scroll(ScrollPhase::momentum, 0, -3);
    ASSERT_EQ(more.size(), 1u);
    expectScroll(more[0], {-2, 0, 0, 2});
    const EventList end = builder.scroll(ScrollPhase::momentumEnded, 0, 0);
    ASSERT_EQ(end.size(), 1u);
    expectScroll(end[0], {0, 0, 0, 3});
    EXPECT_EQ(builder.scrollState, ScrollState::idle);
}

TEST_F(PointerEventsTest, MomentumFromIdleBeginsMomentum) {
    const EventList momentum = builder.scroll(ScrollPhase::momentum, 0, 0);
    ASSERT_EQ(momentum.size(), 1u);
    expectScroll(momentum[0], {0, 0, 0, 1});
}

TEST_F(PointerEventsTest, EndScrollEndsMomentum) {
    builder.scroll(ScrollPhase::momentum, 0, 0);
    const EventList end = builder.endScroll();
    ASSERT_EQ(end.size(), 1u);
    expectScroll(end[0], {0, 0, 0, 3});
    EXPECT_EQ(builder.scrollState, ScrollState::idle);
}

TEST_F(PointerEventsTest, NonFiniteScrollChangesNothing) {
    builder.scroll(ScrollPhase::began, 0, 0.5);
    EXPECT_TRUE(builder.scroll(ScrollPhase::ended, std::nan(""), 0).empty());
    EXPECT_TRUE(builder.scroll(ScrollPhase::momentum, 0, std::numeric_limits<double>::infinity()).empty());
    EXPECT_EQ(builder.scrollState, ScrollState::scrolling);
    EXPECT_EQ(builder.scrollDeltaY.remainder, 0.5);
}

}  // namespace
}  // namespace Injector
