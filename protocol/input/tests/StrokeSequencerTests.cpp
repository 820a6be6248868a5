#include "protocol/input/StrokeSequencers.h"

#include <gtest/gtest.h>

#include "protocol/input/tests/InputPrinting.h"

namespace TrackpadProtocol {
namespace {

using Messages = std::vector<Message>;
using P = GesturePhase;
using S = ScrollPhase;

template <class Stamp>
std::optional<Stamp> at(std::uint32_t stroke, std::uint32_t sequence) {
    Stamp stamp;
    stamp.stroke = stroke;
    stamp.sequence = sequence;
    return stamp;
}

Message pinch(P phase, float magnification, std::optional<PinchStamp> stamp = std::nullopt) {
    return Message::Gesture{Gesture{Gesture::Pinch{phase, magnification, stamp}}};
}
Message pinch(P phase, float magnification, std::uint32_t stroke, std::uint32_t sequence) {
    return pinch(phase, magnification, at<PinchStamp>(stroke, sequence));
}
Message swipe(P phase, std::uint8_t fingers, float dx, std::optional<SwipeStamp> stamp = std::nullopt) {
    return Message::Gesture{Gesture{Gesture::SwipeTracking{phase, fingers, dx, 0, stamp}}};
}
Message scroll(S phase, float dy, std::optional<ScrollStamp> stamp = std::nullopt) {
    return Message::Scroll{0, dy, phase, stamp};
}
Message scroll(S phase, float dy, std::uint32_t stroke, std::uint32_t sequence) {
    return scroll(phase, dy, at<ScrollStamp>(stroke, sequence));
}

TEST(PinchSequencer, PassesAnOrderedStrokeAndOtherMessagesUnchanged) {
    PinchSequencer sequencer;
    const Messages stroke = {pinch(P::began, 0, 7, 1), pinch(P::changed, 0.1f, 7, 2),
                             pinch(P::changed, -0.2f, 7, 3), pinch(P::ended, 0.05f, 7, 4)};
    for (const auto& message : stroke)
        EXPECT_EQ(sequencer.process(message), Messages{message});
    EXPECT_TRUE(sequencer.finish().empty());
    const Message swipeTap = Message::Gesture{Gesture{Gesture::Tap{3}}};
    EXPECT_EQ(sequencer.process(swipeTap), Messages{swipeTap});
    EXPECT_EQ(sequencer.process(Message::Move{1, 1}), (Messages{Message::Move{1, 1}}));
}

TEST(PinchSequencer, DropsStaleAndRepeatedMessages) {
    PinchSequencer sequencer;
    sequencer.process(pinch(P::began, 0, 1, 1));
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.3f, 1, 3)).size(), 1u);
    EXPECT_TRUE(sequencer.process(pinch(P::changed, 0.2f, 1, 2)).empty());  // overtaken
    EXPECT_TRUE(sequencer.process(pinch(P::changed, 0.3f, 1, 3)).empty());  // repeated
    EXPECT_TRUE(sequencer.process(pinch(P::began, 0, 1, 4)).empty());       // would go back in its stroke
    EXPECT_EQ(sequencer.process(pinch(P::ended, 0, 1, 6)).size(), 1u);
    EXPECT_TRUE(sequencer.process(pinch(P::changed, 0.1f, 1, 5)).empty());  // after the end
    EXPECT_EQ(sequencer.process(pinch(P::began, 0, 2, 1)).size(), 1u);
    EXPECT_TRUE(sequencer.process(pinch(P::ended, 0, 1, 7)).empty());  // an older stroke
}

TEST(PinchSequencer, SuppliesMissingBeginsAndEnds) {
    PinchSequencer sequencer;
    // The begin was lost.
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.25f, 4, 2)),
              (Messages{pinch(P::began, 0), pinch(P::changed, 0.25f, 4, 2)}));
    // The end was lost: the next stroke closes this one first.
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.5f, 5, 3)),
              (Messages{pinch(P::ended, 0), pinch(P::began, 0), pinch(P::changed, 0.5f, 5, 3)}));
    EXPECT_EQ(sequencer.process(pinch(P::began, 0, 6, 1)),
              (Messages{pinch(P::ended, 0), pinch(P::began, 0, 6, 1)}));
    // Only an end arrived of a stroke: it is begun for it, so its amount is not lost.
    EXPECT_EQ(sequencer.process(pinch(P::ended, 0.1f, 8, 5)),
              (Messages{pinch(P::ended, 0), pinch(P::began, 0), pinch(P::ended, 0.1f, 8, 5)}));
}

TEST(PinchSequencer, FinishClosesTheOpenStrokeAndStartsOver) {
    PinchSequencer sequencer;
    EXPECT_TRUE(sequencer.finish().empty());
    sequencer.process(pinch(P::began, 0, 40, 1));
    sequencer.process(pinch(P::changed, 0.2f, 40, 2));
    EXPECT_EQ(sequencer.finish(), Messages{pinch(P::ended, 0)});
    EXPECT_TRUE(sequencer.finish().empty());
    // A stream that starts over is taken whatever its number, lower ...
    EXPECT_EQ(sequencer.process(pinch(P::began, 0, 1, 1)), Messages{pinch(P::began, 0, 1, 1)});
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.1f, 1, 2)).size(), 1u);
    EXPECT_TRUE(sequencer.process(pinch(P::changed, 0.1f, 0xFFFF'FFF0u, 4)).empty());  // then in order again
    // ... or the very number of the stroke that was open, with its sequence starting again.
    EXPECT_EQ(sequencer.finish(), Messages{pinch(P::ended, 0)});
    EXPECT_EQ(sequencer.process(pinch(P::began, 0, 1, 1)), Messages{pinch(P::began, 0, 1, 1)});
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.3f, 1, 2)), Messages{pinch(P::changed, 0.3f, 1, 2)});
    EXPECT_TRUE(sequencer.process(pinch(P::changed, 0.3f, 1, 2)).empty());  // and its repeats dropped
    // A closed stroke's number, too.
    EXPECT_EQ(sequencer.process(pinch(P::ended, 0, 1, 3)).size(), 1u);
    EXPECT_TRUE(sequencer.finish().empty());
    EXPECT_EQ(sequencer.process(pinch(P::began, 0, 1, 1)), Messages{pinch(P::began, 0, 1, 1)});
}

TEST(PinchSequencer, ComparesStrokesInSerialNumberArithmetic) {
    PinchSequencer sequencer;
    sequencer.process(pinch(P::began, 0, 0xFFFF'FFFFu, 1));
    EXPECT_EQ(sequencer.process(pinch(P::began, 0, 0, 1)),
              (Messages{pinch(P::ended, 0), pinch(P::began, 0, 0, 1)}));
    EXPECT_TRUE(sequencer.process(pinch(P::changed, 0.1f, 0xFFFF'FFFFu, 2)).empty());
    EXPECT_TRUE(sequencer.process(pinch(P::changed, 0.1f, 0x8000'0000u, 2)).empty());  // half the circle away
}

TEST(PinchSequencer, UnstampedMessagesOnlyGetTheirPhasesRepaired) {
    PinchSequencer sequencer;
    EXPECT_TRUE(sequencer.process(pinch(P::ended, 0.1f)).empty());  // nothing open to end
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.1f)),
              (Messages{pinch(P::began, 0), pinch(P::changed, 0.1f)}));
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.1f)),
              Messages{pinch(P::changed, 0.1f)});  // no duplicates
    EXPECT_EQ(sequencer.process(pinch(P::began, 0)), (Messages{pinch(P::ended, 0), pinch(P::began, 0)}));
    EXPECT_EQ(sequencer.process(pinch(P::ended, 0)), Messages{pinch(P::ended, 0)});
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.3f)),
              (Messages{pinch(P::began, 0), pinch(P::changed, 0.3f)}));
}

TEST(PinchSequencer, AnEndedStampedStrokeStaysEndedInsideUnstampedInput) {
    PinchSequencer sequencer;
    sequencer.process(pinch(P::began, 0, 1, 1));
    sequencer.process(pinch(P::ended, 0, 1, 2));
    EXPECT_EQ(sequencer.process(pinch(P::began, 0)).size(), 1u);
    EXPECT_TRUE(sequencer.process(pinch(P::changed, 0.4f, 1, 3)).empty());
    // A newer stamped stroke takes over the unstamped one it fits.
    EXPECT_EQ(sequencer.process(pinch(P::changed, 0.4f, 2, 2)), Messages{pinch(P::changed, 0.4f, 2, 2)});
}

TEST(SwipeSequencer, SuppliedPhasesCarryTheStrokesFingers) {
    SwipeSequencer sequencer;
    EXPECT_EQ(sequencer.process(swipe(P::changed, 3, 5, at<SwipeStamp>(1, 2))),
              (Messages{swipe(P::began, 3, 0), swipe(P::changed, 3, 5, at<SwipeStamp>(1, 2))}));
    sequencer.process(swipe(P::changed, 4, 5, at<SwipeStamp>(1, 3)));
    EXPECT_EQ(sequencer.process(swipe(P::began, 4, 0, at<SwipeStamp>(2, 1))),
              (Messages{swipe(P::ended, 3, 0), swipe(P::began, 4, 0, at<SwipeStamp>(2, 1))}));
    EXPECT_EQ(sequencer.finish(), Messages{swipe(P::ended, 4, 0)});
    EXPECT_TRUE(sequencer.finish().empty());
}

TEST(ScrollSequencer, MomentumFollowsTheEndOfItsStroke) {
    ScrollSequencer sequencer;
    const Messages stroke = {scroll(S::began, 0, 3, 1),    scroll(S::changed, 4, 3, 2),
                             scroll(S::ended, 1, 3, 3),    scroll(S::momentum, 3, 3, 4),
                             scroll(S::momentum, 2, 3, 5), scroll(S::momentumEnded, 0, 3, 6)};
    for (const auto& message : stroke)
        EXPECT_EQ(sequencer.process(message), Messages{message});
    EXPECT_TRUE(sequencer.process(scroll(S::momentum, 1, 3, 7)).empty());
    EXPECT_TRUE(sequencer.finish().empty());
}

TEST(ScrollSequencer, SuppliesTheEndBeforeMomentumAndMomentumBeforeItsEnd) {
    ScrollSequencer sequencer;
    sequencer.process(scroll(S::began, 0, 1, 1));
    EXPECT_EQ(sequencer.process(scroll(S::momentum, 2, 1, 4)),
              (Messages{scroll(S::ended, 0), scroll(S::momentum, 2, 1, 4)}));
    EXPECT_TRUE(sequencer.process(scroll(S::ended, 0, 1, 3)).empty());    // overtaken by the momentum
    EXPECT_TRUE(sequencer.process(scroll(S::changed, 2, 1, 5)).empty());  // goes back in the stroke

    sequencer.process(scroll(S::began, 0, 2, 1));
    sequencer.process(scroll(S::ended, 0, 2, 2));
    EXPECT_EQ(sequencer.process(scroll(S::momentumEnded, 1, 2, 9)),
              (Messages{scroll(S::momentum, 0), scroll(S::momentumEnded, 1, 2, 9)}));
}

TEST(ScrollSequencer, FinishEndsScrollingOrMomentum) {
    ScrollSequencer scrolling;
    scrolling.process(scroll(S::changed, 2, 1, 2));
    EXPECT_EQ(scrolling.finish(), Messages{scroll(S::ended, 0)});

    ScrollSequencer inMomentum;
    inMomentum.process(scroll(S::momentum, 2));
    EXPECT_EQ(inMomentum.finish(), Messages{scroll(S::momentumEnded, 0)});
    EXPECT_TRUE(inMomentum.finish().empty());

    // An ended stroke waiting for momentum has nothing to close; its late momentum is dropped.
    ScrollSequencer ended;
    ended.process(scroll(S::began, 0, 1, 1));
    ended.process(scroll(S::ended, 0, 1, 2));
    EXPECT_TRUE(ended.finish().empty());
    EXPECT_TRUE(ended.process(scroll(S::momentum, 1, 1, 3)).empty());
}

}  // namespace
}  // namespace TrackpadProtocol
