#include "protocol/input/Stampers.h"

#include <gtest/gtest.h>

#include <limits>

#include "protocol/input/tests/InputPrinting.h"

namespace TrackpadProtocol {
namespace {

TEST(PointerStamper, SessionStartsWithItsMarker) {
    const UUID session = UUID::random();
    PointerStamper stamper(session);
    const Message marker = stamper.sessionStart();
    const auto* positioned = marker.as<Message::Positioned>();
    ASSERT_TRUE(positioned);
    EXPECT_EQ(*positioned->message, Message(Message::Move{0, 0}));
    EXPECT_EQ(positioned->stamp, (PointerStamp{session, 0, 0, 0, 0}));
    EXPECT_EQ(marker.transport(), Transport::reliable);
}

TEST(PointerStamper, CountsSequencesTracksTheLastReliableOneAndSumsThePosition) {
    PointerStamper stamper(UUID::random());
    const Message sent[] = {
        Message::Move{1, 2},
        Message::Tap{1},
        Message::Move{0.5f, -1},
        Message::Drag{DragPhase::began, 1, 0},
        Message::Drag{DragPhase::changed, 2, 2},
        Message::Drag{DragPhase::changed, -1, 0},
        Message::Drag{DragPhase::ended, 0, 1},
        Message::RightClick{},
        Message::Move{-4, 0},
    };
    const PointerStamp expected[] = {
        {stamper.session(), 1, 0, 1, 2},    {stamper.session(), 2, 0, 1, 2},
        {stamper.session(), 3, 2, 1.5, 1},  {stamper.session(), 4, 2, 2.5, 1},
        {stamper.session(), 5, 4, 4.5, 3},  {stamper.session(), 6, 4, 3.5, 3},
        {stamper.session(), 7, 4, 3.5, 4},  {stamper.session(), 8, 7, 3.5, 4},
        {stamper.session(), 9, 8, -0.5, 4},
    };
    for (std::size_t i = 0; i < std::size(sent); ++i) {
        auto stamped = stamper.stamp(sent[i]);
        ASSERT_TRUE(stamped) << i;
        const auto* positioned = stamped->as<Message::Positioned>();
        ASSERT_TRUE(positioned) << i;
        EXPECT_EQ(*positioned->message, sent[i]) << i;
        EXPECT_EQ(positioned->stamp, expected[i]) << i;
    }
}

TEST(PointerStamper, StampsOnlyPointerMessagesWithFiniteDeltas) {
    PointerStamper stamper(UUID::random());
    EXPECT_FALSE(stamper.stamp(Message::Text{"a"}));
    EXPECT_FALSE(stamper.stamp(Message::Scroll{1, 1, ScrollPhase::changed, std::nullopt}));
    EXPECT_FALSE(stamper.stamp(Message::Move{std::numeric_limits<float>::quiet_NaN(), 0}));
    EXPECT_FALSE(stamper.stamp(Message::Drag{DragPhase::began, 0, std::numeric_limits<float>::infinity()}));
    auto stamped = stamper.stamp(Message::Move{1, 1});
    ASSERT_TRUE(stamped);
    EXPECT_EQ(stamped->as<Message::Positioned>()->stamp.sequence, 1u);
    EXPECT_EQ(stamped->as<Message::Positioned>()->stamp.x, 1);
}

Message scroll(ScrollPhase phase) {
    return Message::Scroll{1, 2, phase, std::nullopt};
}
std::optional<ScrollStamp> scrollStamp(const Message& message) {
    return message.as<Message::Scroll>()->stamp;
}
ScrollStamp scrollAt(std::uint32_t stroke, std::uint32_t sequence) {
    ScrollStamp stamp;
    stamp.stroke = stroke;
    stamp.sequence = sequence;
    return stamp;
}

TEST(StrokeStampers, AScrollStrokeRunsFromItsBeginThroughItsMomentum) {
    ScrollStamper stamper;
    const std::pair<ScrollPhase, ScrollStamp> steps[] = {
        {ScrollPhase::began, scrollAt(1, 1)},
        {ScrollPhase::changed, scrollAt(1, 2)},
        {ScrollPhase::ended, scrollAt(1, 3)},
        {ScrollPhase::momentum, scrollAt(1, 4)},
        {ScrollPhase::momentum, scrollAt(1, 5)},
        {ScrollPhase::momentumEnded, scrollAt(1, 6)},
        // Nothing continues a closed stroke: a change without a begin starts the next one.
        {ScrollPhase::changed, scrollAt(2, 1)},
        {ScrollPhase::began, scrollAt(3, 1)},
        {ScrollPhase::ended, scrollAt(3, 2)},
        {ScrollPhase::changed, scrollAt(4, 1)},
    };
    for (const auto& [phase, expected] : steps) {
        const Message stamped = stamper.stamp(scroll(phase));
        EXPECT_EQ(scrollStamp(stamped), expected) << int(phase);
        EXPECT_EQ(stamped.as<Message::Scroll>()->dy, 2);
    }
    EXPECT_EQ(stamper.stamp(Message::Move{1, 1}), Message(Message::Move{1, 1}));
}

TEST(StrokeStampers, GestureStrokesEndAtTheirEndAndNumbersWrap) {
    PinchStamper pinch(0xFFFF'FFFFu);
    auto stampOf = [&](GesturePhase phase) {
        const Message stamped =
            pinch.stamp(Message::Gesture{Gesture{Gesture::Pinch{phase, 0.5f, std::nullopt}}});
        const auto& kind = stamped.as<Message::Gesture>()->gesture.kind;
        EXPECT_EQ(std::get<Gesture::Pinch>(kind).magnification, 0.5f);
        return *std::get<Gesture::Pinch>(kind).stamp;
    };
    EXPECT_EQ(stampOf(GesturePhase::began).stroke, 0xFFFF'FFFFu);
    EXPECT_EQ(stampOf(GesturePhase::changed).sequence, 2u);
    EXPECT_EQ(stampOf(GesturePhase::ended).sequence, 3u);
    const PinchStamp next = stampOf(GesturePhase::changed);
    EXPECT_EQ(next.stroke, 0u);
    EXPECT_EQ(next.sequence, 1u);
    EXPECT_EQ(stampOf(GesturePhase::began).stroke, 1u);

    SwipeStamper swipe;
    const Message stamped = swipe.stamp(
        Message::Gesture{Gesture{Gesture::SwipeTracking{GesturePhase::began, 3, 4, -5, std::nullopt}}});
    const auto& tracking = std::get<Gesture::SwipeTracking>(stamped.as<Message::Gesture>()->gesture.kind);
    EXPECT_EQ(tracking.fingers, 3);
    EXPECT_EQ(tracking.dx, 4);
    EXPECT_EQ(tracking.dy, -5);
    EXPECT_EQ(tracking.stamp->stroke, 1u);
    const Message tap = Message::Gesture{Gesture{Gesture::Tap{2}}};
    EXPECT_EQ(swipe.stamp(tap), tap);
}

}  // namespace
}  // namespace TrackpadProtocol
