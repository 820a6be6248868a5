#include "protocol/input/PointerSequencer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "protocol/input/Stampers.h"
#include "protocol/input/tests/ChannelModel.h"
#include "protocol/input/tests/InputPrinting.h"

namespace TrackpadProtocol {
namespace {

using Messages = std::vector<Message>;

Message positioned(Message inner, const UUID& session, std::uint64_t sequence, std::uint64_t boundary,
                   double x, double y) {
    return Message::Positioned{std::move(inner), PointerStamp{session, sequence, boundary, x, y}};
}
Message marker(const UUID& session) {
    return positioned(Message::Move{0, 0}, session, 0, 0, 0, 0);
}
Message move(float dx, float dy) {
    return Message::Move{dx, dy};
}
Message drag(DragPhase phase, float dx, float dy) {
    return Message::Drag{phase, dx, dy};
}
const Message sessionAnswer = Message::Drag{DragPhase::ended, 0, 0};

TEST(PointerSequencer, MarkerAdoptsANewSessionOnce) {
    PointerSequencer sequencer;
    const UUID first = UUID::random();
    EXPECT_EQ(sequencer.accept(marker(first)), Messages{sessionAnswer});
    EXPECT_TRUE(sequencer.accept(marker(first)).empty());
    EXPECT_EQ(sequencer.accept(positioned(move(1, 2), first, 1, 0, 1, 2)), Messages{move(1, 2)});

    const UUID second = UUID::random();
    EXPECT_EQ(sequencer.accept(marker(second)), Messages{sessionAnswer});
    // The first session is retired: its marker and its late messages are dropped.
    EXPECT_TRUE(sequencer.accept(marker(first)).empty());
    EXPECT_TRUE(sequencer.accept(positioned(move(1, 0), first, 2, 0, 2, 2)).empty());
    // The new session's positions start from its own origin.
    EXPECT_EQ(sequencer.accept(positioned(move(3, 0), second, 1, 0, 3, 0)), Messages{move(3, 0)});
}

TEST(PointerSequencer, RemembersTheLastEightRetiredSessions) {
    PointerSequencer sequencer;
    std::vector<UUID> sessions;
    for (int i = 0; i < 10; ++i) {
        sessions.push_back(UUID::random());
        ASSERT_EQ(sequencer.accept(marker(sessions.back())), Messages{sessionAnswer});
    }
    for (int i = 1; i < 9; ++i)
        EXPECT_TRUE(sequencer.accept(marker(sessions[i])).empty()) << i;
    EXPECT_EQ(sequencer.accept(marker(sessions[0])), Messages{sessionAnswer});
}

TEST(PointerSequencer, IgnoresWhatIsNotAPositionedPointerMessageOfTheCurrentSession) {
    PointerSequencer sequencer;
    const UUID session = UUID::random();
    // Before its marker a session is unknown.
    EXPECT_TRUE(sequencer.accept(positioned(move(1, 0), session, 1, 0, 1, 0)).empty());
    sequencer.accept(marker(session));
    EXPECT_TRUE(sequencer.accept(move(1, 0)).empty());
    EXPECT_TRUE(sequencer
                    .accept(positioned(Message::Scroll{1, 1, ScrollPhase::changed, std::nullopt}, session, 1,
                                       0, 1, 1))
                    .empty());
    EXPECT_TRUE(sequencer.accept(positioned(Message::Text{"a"}, session, 1, 0, 1, 1)).empty());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(sequencer.accept(positioned(move(1, 0), session, 1, 0, nan, 0)).empty());
    EXPECT_TRUE(sequencer.accept(positioned(move(1, 0), session, 1, 0, 0, inf)).empty());
    // None of them took sequence 1.
    EXPECT_EQ(sequencer.accept(positioned(move(1, 0), session, 1, 0, 1, 0)), Messages{move(1, 0)});
    // A marker-like message with a sequence of 0 that is not the marker is stale.
    EXPECT_TRUE(sequencer.accept(positioned(Message::Tap{1}, session, 0, 0, 0, 0)).empty());
}

TEST(PointerSequencer, LostAndOvertakenDatagramsCostNoDistance) {
    PointerSequencer sequencer;
    const UUID session = UUID::random();
    sequencer.accept(marker(session));
    EXPECT_EQ(sequencer.accept(positioned(move(1, 1), session, 1, 0, 1, 1)), Messages{move(1, 1)});
    // Sequence 2 is lost; 4 overtakes 3.
    EXPECT_EQ(sequencer.accept(positioned(move(4, 0), session, 4, 0, 10, 1)), Messages{move(9, 0)});
    EXPECT_TRUE(sequencer.accept(positioned(move(3, 0), session, 3, 0, 6, 1)).empty());
    EXPECT_TRUE(sequencer.accept(positioned(move(4, 0), session, 4, 0, 10, 1)).empty());  // repeated
    // A tap elsewhere than the pointer is first brought there; one in place is not.
    EXPECT_EQ(sequencer.accept(positioned(Message::Tap{2}, session, 6, 0, 12, 1)),
              (Messages{move(2, 0), Message::Tap{2}}));
    EXPECT_EQ(sequencer.accept(positioned(Message::RightClick{}, session, 7, 6, 12, 1)),
              Messages{Message::RightClick{}});
}

TEST(PointerSequencer, MessagesWaitForTheReliableMessageBeforeThem) {
    PointerSequencer sequencer;
    const UUID session = UUID::random();
    sequencer.accept(marker(session));
    // The drag's changes overtake its start.
    EXPECT_TRUE(sequencer.accept(positioned(drag(DragPhase::changed, 2, 0), session, 3, 1, 3, 0)).empty());
    EXPECT_TRUE(sequencer.accept(positioned(drag(DragPhase::changed, 1, 0), session, 2, 1, 1, 0)).empty());
    EXPECT_TRUE(sequencer.accept(positioned(drag(DragPhase::changed, 1, 0), session, 2, 1, 1, 0)).empty());
    EXPECT_EQ(sequencer.heldCount(), 2u);
    EXPECT_EQ(sequencer.accept(positioned(drag(DragPhase::began, 0, 0), session, 1, 0, 0, 0)),
              (Messages{drag(DragPhase::began, 0, 0), drag(DragPhase::changed, 1, 0),
                        drag(DragPhase::changed, 2, 0)}));
    EXPECT_EQ(sequencer.heldCount(), 0u);
    // The end cannot be overtaken by what the phone sent after it.
    EXPECT_TRUE(sequencer.accept(positioned(move(1, 1), session, 5, 4, 4, 1)).empty());
    EXPECT_EQ(sequencer.accept(positioned(drag(DragPhase::ended, 0, 0), session, 4, 1, 3, 0)),
              (Messages{drag(DragPhase::ended, 0, 0), move(1, 1)}));
}

TEST(PointerSequencer, FullHoldingAreaGivesUpTheOldestDatagramsNotTheirDistance) {
    PointerSequencer sequencer;
    const UUID session = UUID::random();
    sequencer.accept(marker(session));
    // A long wait for the tap at sequence 1: a hundred moves pile up behind it.
    for (std::uint64_t sequence = 2; sequence < 102; ++sequence) {
        const double x = static_cast<double>(sequence);
        EXPECT_TRUE(sequencer.accept(positioned(move(1, 0), session, sequence, 1, x, 0)).empty());
    }
    EXPECT_EQ(sequencer.heldCount(), PointerSequencer::heldCapacity);
    auto released = sequencer.accept(positioned(Message::Tap{1}, session, 1, 0, 1, 0));
    ASSERT_EQ(released.size(), 2 + PointerSequencer::heldCapacity);
    EXPECT_EQ(released[0], move(1, 0));
    EXPECT_EQ(released[1], Message::Tap{1});
    EXPECT_EQ(released[2], move(101 - PointerSequencer::heldCapacity, 0));  // the moves given up
    EXPECT_EQ(released.back(), move(1, 0));
}

TEST(PointerSequencer, FullHoldingAreaKeepsWaitingClicks) {
    PointerSequencer sequencer;
    const UUID session = UUID::random();
    sequencer.accept(marker(session));
    // A tap waits for the right click before it, then a flood of moves waits for the tap.
    EXPECT_TRUE(sequencer.accept(positioned(Message::Tap{1}, session, 2, 1, 0, 0)).empty());
    for (std::uint64_t sequence = 3; sequence < 103; ++sequence) {
        const double x = static_cast<double>(sequence);
        EXPECT_TRUE(sequencer.accept(positioned(move(1, 0), session, sequence, 2, x, 0)).empty());
    }
    auto released = sequencer.accept(positioned(Message::RightClick{}, session, 1, 0, 0, 0));
    ASSERT_GE(released.size(), 3u);
    EXPECT_EQ(released[0], Message::RightClick{});
    EXPECT_EQ(released[1], Message::Tap{1});
    EXPECT_EQ(released.back(), move(1, 0));
}

TEST(PointerSequencer, JumpsBeyondTheFloatRangeResynchroniseWithoutMoving) {
    PointerSequencer sequencer;
    const UUID session = UUID::random();
    sequencer.accept(marker(session));
    EXPECT_EQ(sequencer.accept(positioned(move(1, 0), session, 1, 0, 1e300, 0)), Messages{move(0, 0)});
    EXPECT_EQ(sequencer.accept(positioned(move(1, 0), session, 2, 0, 2, 0)), Messages{move(0, 0)});
    EXPECT_EQ(sequencer.accept(positioned(move(3, 0), session, 3, 0, 5, 0)), Messages{move(3, 0)});
}

// ---- Properties over streams that pass the two channels -------------------------------------------------

enum class Kind { move, drag, tap, rightClick };
struct Expected {
    Kind kind;
    DragPhase phase = DragPhase::began;
    std::uint8_t clickCount = 0;
    double x = 0;
    double y = 0;
    bool reliable = false;
};

// A phone session: the marker, then moves, taps, right clicks and drags, ending with a tap.
struct PhoneSession {
    Messages sent;
    std::vector<Expected> expected;  // one per sent message after the marker
};

PhoneSession makeSession(std::mt19937& random, int actions) {
    PointerStamper stamper(UUID::random());
    PhoneSession session;
    session.sent.push_back(stamper.sessionStart());
    std::uniform_int_distribution<int> choice(0, 99);
    std::uniform_real_distribution<float> amount(0.25f, 12.0f);
    std::bernoulli_distribution negative(0.5);
    auto delta = [&] { return negative(random) ? -amount(random) : amount(random); };
    auto send = [&](Message message, Expected expected) {
        auto stamped = stamper.stamp(message);
        ASSERT_TRUE(stamped);
        const auto& stamp = stamped->as<Message::Positioned>()->stamp;
        expected.x = stamp.x;
        expected.y = stamp.y;
        expected.reliable = stamped->transport() == Transport::reliable;
        session.sent.push_back(*stamped);
        session.expected.push_back(expected);
    };
    std::uint8_t taps = 0;
    for (int i = 0; i < actions; ++i) {
        const int c = choice(random);
        if (c < 70) {
            send(move(delta(), delta()), {Kind::move});
        } else if (c < 80) {
            taps = static_cast<std::uint8_t>(taps % 250 + 1);
            send(Message::Tap{taps}, {Kind::tap, DragPhase::began, taps});
        } else if (c < 85) {
            send(Message::RightClick{}, {Kind::rightClick});
        } else {
            send(drag(DragPhase::began, delta(), 0), {Kind::drag, DragPhase::began});
            for (int n = choice(random) % 12; n > 0; --n) {
                send(drag(DragPhase::changed, delta(), delta()), {Kind::drag, DragPhase::changed});
            }
            send(drag(DragPhase::ended, 0, delta()), {Kind::drag, DragPhase::ended});
        }
    }
    send(Message::Tap{1}, {Kind::tap, DragPhase::began, 1});
    return session;
}

// Checks what the sequencer released against what the phone sent: each released message stands for a
// sent one, at the phone's position, in the order sent and each at most once; every reliable message is
// released, in order; drags are well formed.
void checkReleased(const PhoneSession& session, const Messages& released) {
    ASSERT_FALSE(released.empty());
    ASSERT_EQ(released[0], sessionAnswer);
    constexpr double tolerance = 1e-4;
    double x = 0, y = 0;
    std::size_t next = 0;  // the first sent message not yet accounted for
    bool dragging = false;
    for (std::size_t i = 1; i < released.size(); ++i) {
        const Message& message = released[i];
        Expected found{Kind::move};
        if (auto m = message.as<Message::Move>()) {
            x += m->dx;
            y += m->dy;
            // A move right before a click may be the one that brings the pointer to it.
            if (i + 1 < released.size() &&
                (released[i + 1].is<Message::Tap>() || released[i + 1].is<Message::RightClick>())) {
                continue;
            }
        } else if (auto d = message.as<Message::Drag>()) {
            x += d->dx;
            y += d->dy;
            found = {Kind::drag, d->phase};
            if (d->phase == DragPhase::changed) {
                ASSERT_TRUE(dragging) << "drag change outside a drag at " << i;
            }
            dragging = d->phase != DragPhase::ended;
        } else if (auto t = message.as<Message::Tap>()) {
            found = {Kind::tap, DragPhase::began, t->clickCount};
        } else {
            ASSERT_TRUE(message.is<Message::RightClick>()) << "unexpected case at " << i;
            found = {Kind::rightClick};
        }
        std::size_t match = next;
        while (match < session.expected.size()) {
            const Expected& e = session.expected[match];
            if (e.kind == found.kind && e.phase == found.phase && e.clickCount == found.clickCount &&
                std::fabs(e.x - x) < tolerance && std::fabs(e.y - y) < tolerance) {
                break;
            }
            ASSERT_FALSE(e.reliable) << "reliable message " << match << " skipped, at released " << i;
            ++match;
        }
        ASSERT_LT(match, session.expected.size())
            << "released " << i << " matches nothing sent after " << next;
        next = match + 1;
    }
    EXPECT_EQ(next, session.expected.size()) << "the final tap was not released last";
    EXPECT_NEAR(x, session.expected.back().x, tolerance);
    EXPECT_NEAR(y, session.expected.back().y, tolerance);
}

void checkChannels(const testing_model::ChannelModel& model, int seeds) {
    for (int seed = 0; seed < seeds; ++seed) {
        std::mt19937 random(static_cast<unsigned>(seed));
        const PhoneSession session = makeSession(random, 200);
        const Messages delivered = testing_model::deliver(session.sent, model, random);
        PointerSequencer sequencer;
        Messages released;
        for (const auto& message : delivered)
            sequencer.accept(message, released);
        SCOPED_TRACE("seed " + std::to_string(seed));
        checkReleased(session, released);
        // Everything again, as a phone repeating the whole session would: nothing more is applied.
        Messages again;
        for (const auto& message : delivered)
            sequencer.accept(message, again);
        EXPECT_TRUE(again.empty());
        if (::testing::Test::HasFailure())
            return;
    }
}

TEST(PointerSequencerProperties, InOrderLosslessStreamComesOutAsSent) {
    checkChannels({0, 0, 0, 0}, 5);
}

TEST(PointerSequencerProperties, LossDuplicationAndReorderingAreRepaired) {
    checkChannels({0.2, 0.1, 4, 6}, 50);
    checkChannels({0.5, 0.3, 1, 20}, 30);
}

TEST(PointerSequencerProperties, SlowReliableChannelOverflowsTheHoldingArea) {
    checkChannels({0.05, 0.05, 150, 2}, 15);
}

TEST(PointerSequencerProperties, ArbitraryStampsNeverBreakIt) {
    std::mt19937 random(99);
    const UUID sessions[] = {UUID::random(), UUID::random(), UUID::random()};
    std::uniform_int_distribution<int> pick(0, 2), kind(0, 5), small(0, 40);
    const double values[] = {0,
                             1,
                             -1,
                             1e300,
                             -1e300,
                             3.5e38,
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             0.1};
    std::uniform_int_distribution<int> value(0, 8);
    PointerSequencer sequencer;
    Messages out;
    for (int i = 0; i < 20000; ++i) {
        const UUID& session = sessions[pick(random)];
        Message inner = kind(random) == 0   ? Message{Message::Tap{1}}
                        : kind(random) == 1 ? Message{drag(static_cast<DragPhase>(pick(random)), 1, 1)}
                        : kind(random) == 2 ? Message{Message::RightClick{}}
                                            : Message{move(0, 0)};
        const bool isMarker = small(random) == 0;
        out.clear();
        sequencer.accept(isMarker ? marker(session)
                                  : positioned(inner, session, static_cast<std::uint64_t>(small(random)),
                                               static_cast<std::uint64_t>(small(random)),
                                               values[value(random)], values[value(random)]),
                         out);
        ASSERT_LE(sequencer.heldCount(), PointerSequencer::heldCapacity);
        for (const auto& message : out) {
            ASSERT_FALSE(message.is<Message::Positioned>());
            if (auto m = message.as<Message::Move>()) {
                ASSERT_TRUE(std::isfinite(m->dx) && std::isfinite(m->dy));
            }
            if (auto d = message.as<Message::Drag>()) {
                ASSERT_TRUE(std::isfinite(d->dx) && std::isfinite(d->dy));
            }
        }
    }
}

}  // namespace
}  // namespace TrackpadProtocol
