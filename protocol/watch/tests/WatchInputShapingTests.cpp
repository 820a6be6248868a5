// Batching, pacing, remote buttons and crown volume: the value types between the watch's input sources
// and its sender, driven by explicit times.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "WatchTestSupport.h"
#include "protocol/watch/WatchInputBatcher.h"
#include "protocol/watch/WatchPointerPacer.h"
#include "protocol/watch/WatchRemote.h"

namespace watch_test {
namespace {

using Messages = std::vector<Message>;

Messages moves(int count, float dx, float dy) {
    return Messages(static_cast<std::size_t>(count), move(dx, dy));
}

// ---- Batcher ---------------------------------------------------------------------------------------

TEST(WatchInputBatcherTest, MergesAndHoldsContinuousInputByIntervalAndInFlight) {
    WatchInputBatcher batcher;
    EXPECT_EQ(batcher.enqueue(moves(10, 1, -2), 0), Messages{move(10, -20)});
    EXPECT_EQ(batcher.inFlightCount(), 1);
    EXPECT_EQ(batcher.enqueue(moves(10, 1, 1), 0.01), Messages{});
    EXPECT_EQ(batcher.pending, Messages{move(10, 10)});
    // Due once the interval has passed; the deadline says so.
    EXPECT_DOUBLE_EQ(*batcher.nextDeadline(), 1.0 / 30);
    EXPECT_EQ(batcher.expireAnswers(1.0 / 30), Messages{move(10, 10)});
    EXPECT_EQ(batcher.inFlightCount(), 2);

    // Two in flight: held even after the interval; an answer releases at once.
    EXPECT_EQ(batcher.enqueue({move(1, 0)}, 0.5), Messages{});
    EXPECT_EQ(batcher.nextDeadline(), 1.0);  // the oldest send's expiry
    EXPECT_EQ(batcher.answerReceived(0.5), Messages{move(1, 0)});
    EXPECT_EQ(batcher.inFlightCount(), 2);

    // Expiry at exactly sent + answerTimeout removes the entry.
    EXPECT_EQ(batcher.expireAnswers(1.0 / 30 + 1.0), Messages{});
    EXPECT_EQ(batcher.inFlight, std::deque<double>{0.5});
}

TEST(WatchInputBatcherTest, DiscreteInputReleasesEverythingInOrder) {
    WatchInputBatcher batcher;
    batcher.enqueue({move(1, 1)}, 0);
    batcher.enqueue({move(1, 1)}, 0.001);
    batcher.answerReceived(0.002);
    batcher.enqueue({move(2, 2)}, 0.003);
    batcher.inFlight = {0.003, 0.003};  // full
    EXPECT_EQ(batcher.enqueue({Message::Tap{}}, 0.004), (Messages{move(3, 3), Message::Tap{}}));
    EXPECT_EQ(batcher.inFlightCount(), 4);

    // A move after a scroll, a stamped scroll and a began scroll are not merged; the began scroll is
    // discrete and goes out at once with the rest.
    const ScrollStamp stamp{{1, 1}};
    EXPECT_EQ(batcher.enqueue({scroll(0, 1), move(1, 0), scroll(0, 1, ScrollPhase::changed, stamp),
                               scroll(0, 1, ScrollPhase::changed, stamp), scroll(0, 2, ScrollPhase::began)},
                              0.005),
              (Messages{scroll(0, 1), move(1, 0), scroll(0, 1, ScrollPhase::changed, stamp),
                        scroll(0, 1, ScrollPhase::changed, stamp), scroll(0, 2, ScrollPhase::began)}));
    WatchInputBatcher scrolls;
    EXPECT_EQ(scrolls.enqueue({scroll(1, 2), scroll(3, 4)}, 0), Messages{scroll(4, 6)});
}

TEST(WatchInputBatcherTest, DeadlinesResetAndOverflow) {
    WatchInputBatcher batcher;
    EXPECT_EQ(batcher.nextDeadline(), std::nullopt);
    batcher.enqueue({Message::Tap{}}, 5);
    EXPECT_EQ(batcher.nextDeadline(), 6.0);
    // Pending with no send yet is due at once.
    WatchInputBatcher fresh;
    fresh.pending.push_back(move(1, 1));
    EXPECT_EQ(fresh.nextDeadline(), -std::numeric_limits<double>::infinity());

    // reset keeps the time of the last release: a move right after it is held by the interval.
    batcher.reset();
    EXPECT_EQ(batcher.inFlightCount(), 0);
    EXPECT_EQ(batcher.enqueue({move(1, 1)}, 5.01), Messages{});

    // A sum beyond the float range would be refused by the codec: the two stay apart.
    WatchInputBatcher big;
    big.pending.push_back(move(3e38f, 0));
    big.lastSend = 0;
    EXPECT_EQ(big.enqueue({move(3e38f, 0)}, 0.001), Messages{});
    EXPECT_EQ(big.pending.size(), 2u);
}

// ---- Pacer -----------------------------------------------------------------------------------------

TEST(WatchInputBatcherTest, AtItsOwnDeadlineTheBatcherReleasesAndMovesTheDeadlineOn) {
    // At 1000 s the difference (1000 + 1/30) - 1000 rounds below 1/30: a timer armed from the deadline
    // would fire again and again at once if the batcher compared differences.
    WatchInputBatcher batcher;
    ASSERT_EQ(batcher.enqueue(moves(1, 1, 0), 1000.0).size(), 1u);
    ASSERT_EQ(batcher.enqueue(moves(1, 2, 0), 1000.01), Messages{});
    const double deadline = *batcher.nextDeadline();
    EXPECT_EQ(batcher.expireAnswers(deadline), Messages{move(2, 0)});
    EXPECT_NE(batcher.nextDeadline(), deadline);
    // The answer time-out is compared as the deadline reports it as well: the oldest send expires.
    const double expiry = *batcher.nextDeadline();
    batcher.expireAnswers(expiry);
    EXPECT_EQ(batcher.inFlightCount(), 1);
}

TEST(WatchInputBatcherTest, SettingsChangedLaterAreUsedOnlyWhenUsable) {
    WatchInputBatcher batcher;
    batcher.configuration.maximumInFlight = -5;
    batcher.configuration.minimumInterval = std::numeric_limits<double>::quiet_NaN();
    batcher.configuration.answerTimeout = std::numeric_limits<double>::infinity();
    // Continuous input still goes out, one message in flight at a time, and the deadlines are numbers.
    EXPECT_EQ(batcher.enqueue(moves(1, 1, 0), 0), Messages{move(1, 0)});
    EXPECT_EQ(batcher.enqueue(moves(1, 1, 0), 0.5), Messages{});
    ASSERT_TRUE(batcher.nextDeadline().has_value());
    EXPECT_TRUE(std::isfinite(*batcher.nextDeadline()));
    EXPECT_EQ(batcher.expireAnswers(*batcher.nextDeadline()), Messages{move(1, 0)});
}

TEST(WatchPointerPacerTest, SpreadsADeltaOverItsWindowAndConservesIt) {
    WatchPointerPacer pacer;
    EXPECT_EQ(pacer.add(move(10, 0), 0), Messages{});
    EXPECT_EQ(pacer.tick(1.0 / 60), move(5, 0));
    EXPECT_EQ(pacer.tick(1.0 / 60), std::nullopt);  // no time has passed
    EXPECT_EQ(pacer.tick(1.0 / 30), move(5, 0));
    EXPECT_TRUE(pacer.isIdle());

    // Thirds that do not round exactly still add up to what came in.
    WatchPointerPacer thirds;
    thirds.add(move(1, 0.1f), 0);
    double x = 0, y = 0;
    for (double t : {0.011, 0.022, 0.05}) {
        if (auto m = thirds.tick(t)) {
            x += m->as<Message::Move>()->dx;
            y += m->as<Message::Move>()->dy;
        }
    }
    EXPECT_EQ(static_cast<float>(x), 1.0f);
    EXPECT_EQ(static_cast<float>(y), 0.1f);
}

TEST(WatchPointerPacerTest, TheWindowFollowsTheGapBetweenArrivals) {
    struct Case {
        double gap;
        double window;
    };
    for (const auto& c :
         {Case{0.02, 0.02}, Case{0.004, 1.0 / 120}, Case{0.08, 0.05}, Case{0.1, 0.05}, Case{0.2, 1.0 / 30}}) {
        WatchPointerPacer pacer;
        pacer.add(move(1, 0), 0);
        pacer.add(move(1, 0), c.gap);
        EXPECT_NEAR(pacer.pending->deadline - c.gap, c.window, 1e-12) << c.gap;
    }
    WatchPointerPacer pacer;
    pacer.add(move(1, 0), 0);
    EXPECT_DOUBLE_EQ(pacer.pending->deadline, 1.0 / 30);
}

TEST(WatchPointerPacerTest, OrderOnKindChangesAndPassThrough) {
    WatchPointerPacer pacer;
    pacer.add(move(10, 0), 0);
    // A scroll: the due share of the move, then the rest, then the scroll becomes pending.
    EXPECT_EQ(pacer.add(scroll(0, 3), 1.0 / 60), (Messages{move(5, 0), move(5, 0)}));
    EXPECT_EQ(pacer.pending->kind, WatchPointerPacer::Kind::scroll);
    // A tap: the whole pending scroll, then the tap.
    EXPECT_EQ(pacer.add(Message::Tap{}, 1.0 / 60), (Messages{scroll(0, 3), Message::Tap{}}));
    // A NaN move, a stamped scroll and a began scroll pass through unchanged after a flush.
    pacer.add(move(4, 0), 1);
    EXPECT_EQ(pacer.add(move(NAN, 1), 1).size(), 2u);
    const ScrollStamp stamp{{2, 1}};
    EXPECT_EQ(pacer.add(scroll(0, 1, ScrollPhase::changed, stamp), 1),
              Messages{scroll(0, 1, ScrollPhase::changed, stamp)});
    EXPECT_EQ(pacer.add(scroll(0, 1, ScrollPhase::began), 1), Messages{scroll(0, 1, ScrollPhase::began)});

    // +5 and -5 leave nothing: ticks emit nothing and the deadline clears it silently.
    WatchPointerPacer cancelled;
    cancelled.add(move(5, 0), 0);
    cancelled.add(move(-5, 0), 0);
    EXPECT_EQ(cancelled.tick(0.001), std::nullopt);
    EXPECT_EQ(cancelled.tick(1), std::nullopt);
    EXPECT_TRUE(cancelled.isIdle());
    // reset forgets the arrival: the next move starts a new stream.
    cancelled.reset();
    cancelled.add(move(1, 0), 1.01);
    EXPECT_NEAR(cancelled.pending->deadline - 1.01, 1.0 / 30, 1e-12);
}

TEST(WatchPointerPacerTest, AConfigurationThatCannotPaceIsReplaced) {
    WatchPointerPacer pacer({NAN, 0.05, 0.03});
    EXPECT_EQ(pacer.configuration, WatchPointerPacer::Configuration::standard);
    pacer.add(move(3e38f, 0), 0);
    pacer.add(move(3e38f, 0), 0.001);
    // The remainder no longer fits a float; what goes out is still finite and sendable.
    const auto out = pacer.flush();
    ASSERT_TRUE(out);
    EXPECT_TRUE(std::isfinite(out->as<Message::Move>()->dx));
}

// ---- Remote buttons and crown ----------------------------------------------------------------------

using Outcome = WatchRemoteActions::Outcome;

TEST(WatchPointerPacerTest, AConfigurationSetLaterThatCannotPaceIsNotUsed) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double infinity = std::numeric_limits<double>::infinity();
    for (const auto broken : {WatchPointerPacer::Configuration{0.01, 0.05, nan},
                              WatchPointerPacer::Configuration{0.01, 0.05, infinity},
                              WatchPointerPacer::Configuration{0.05, 0.01, 0.03}}) {
        WatchPointerPacer pacer;
        pacer.configuration = broken;
        // A first delta, and one within a stream: each is out by the standard window's end.
        pacer.add(move(10, 0), 0);
        EXPECT_TRUE(pacer.tick(1.0).has_value());
        EXPECT_TRUE(pacer.isIdle());
        pacer.add(move(1, 0), 1.01);
        pacer.add(move(1, 0), 1.02);
        EXPECT_TRUE(pacer.tick(2.0).has_value());
        EXPECT_TRUE(pacer.isIdle());
    }
}

TEST(WatchRemoteTest, ButtonsConfirmationAndAvailability) {
    EXPECT_EQ(message(WatchRemoteButton::lock), Message(Message::QuickAction{QuickAction::lockScreen}));
    EXPECT_EQ(message(WatchRemoteButton::volumeDown),
              Message(Message::MediaCommand{MediaCommand::volumeDown}));
    for (auto button : allWatchRemoteButtons)
        EXPECT_EQ(watchRemoteButtonFromRaw(rawValue(button)), button);
    EXPECT_EQ(watchRemoteButtonFromRaw("Sleep"), std::nullopt);

    const auto on = connected("Desk", std::nullopt, 0);
    WatchRemoteActions remote;
    EXPECT_EQ(remote.press(WatchRemoteButton::sleep, on),
              Outcome{Outcome::NeedsConfirmation{WatchRemoteButton::sleep}});
    EXPECT_EQ(remote.confirm(on), Message(Message::QuickAction{QuickAction::sleep}));
    EXPECT_EQ(remote.confirm(on), std::nullopt);

    remote.press(WatchRemoteButton::sleep, on);
    EXPECT_EQ(remote.press(WatchRemoteButton::mute, on),
              Outcome{Outcome::Send{Message::MediaCommand{MediaCommand::mute}}});
    EXPECT_EQ(remote.confirm(on), std::nullopt);

    // Confirming after the computer went away spends the confirmation.
    remote.press(WatchRemoteButton::sleep, on);
    const WatchStatus gone(true, WatchStatus::Mac::NotConnected{}, std::nullopt, 0);
    EXPECT_EQ(remote.confirm(gone), std::nullopt);
    EXPECT_EQ(remote.pendingConfirmation, std::nullopt);

    using Mac = WatchStatus::Mac;
    for (const auto& status : {WatchStatus(false, Mac::Connected{"A"}, std::nullopt, 0),
                               WatchStatus(true, Mac::Connecting{"A"}, std::nullopt, 0),
                               WatchStatus(true, Mac::Pairing{}, std::nullopt, 0),
                               WatchStatus(true, Mac::NoMacPaired{}, std::nullopt, 0)})
        EXPECT_EQ(remote.press(WatchRemoteButton::playPause, status), Outcome{Outcome::Unavailable{}});
    EXPECT_EQ(remote.press(WatchRemoteButton::next, WatchStatus(true, Mac::Demo{}, std::nullopt, 0)),
              Outcome{Outcome::Send{Message::MediaCommand{MediaCommand::next}}});
}

TEST(WatchRemoteTest, ACrownConfigurationSetLaterIsSanitisedWhereItIsUsed) {
    WatchCrownVolume crown;
    crown.configuration.unitsPerStep = std::numeric_limits<double>::quiet_NaN();
    crown.configuration.maxStepsPerUpdate = -3;
    crown.update(0);
    EXPECT_EQ(crown.update(5), std::vector<MediaCommand>{MediaCommand::volumeUp});
    crown.configuration.unitsPerStep = -2;
    crown.configuration.maxStepsPerUpdate = 0;
    EXPECT_EQ(crown.update(3.5), std::vector<MediaCommand>{MediaCommand::volumeDown});
}

TEST(WatchRemoteTest, CrownStepsKeepRemaindersAndDropExcess) {
    using Steps = std::vector<MediaCommand>;
    const auto up = MediaCommand::volumeUp;
    WatchCrownVolume crown;
    EXPECT_EQ(crown.update(0), Steps{});
    EXPECT_EQ(crown.update(0.4), Steps{});
    EXPECT_EQ(crown.update(0.9), Steps{});
    EXPECT_DOUBLE_EQ(crown.pending, 0.9);
    EXPECT_EQ(crown.update(1.2), Steps{up});
    EXPECT_NEAR(crown.pending, 0.2, 1e-12);

    EXPECT_EQ(crown.update(4.9), (Steps{up, up}));  // +3.7: two steps, the rest dropped
    EXPECT_EQ(crown.pending, 0);
    crown.update(5.4);                      // +0.5 pending
    EXPECT_EQ(crown.update(5.1), Steps{});  // a turn back drops it
    EXPECT_NEAR(crown.pending, -0.3, 1e-12);
    EXPECT_EQ(crown.update(3.9), Steps{MediaCommand::volumeDown});
    EXPECT_EQ(crown.update(NAN), Steps{});
    EXPECT_EQ(crown.lastValue, 3.9);
    crown.reset();
    EXPECT_EQ(crown.update(100), Steps{});

    EXPECT_EQ(WatchCrownVolume::Configuration(0, 0), WatchCrownVolume::Configuration(1.0, 1));
    EXPECT_EQ(WatchCrownVolume::Configuration(NAN, 3).unitsPerStep, 1.0);
    // A tiny step size makes a quotient beyond any integer: capped, not undefined.
    WatchCrownVolume tiny({1e-300, 2});
    tiny.update(0);
    EXPECT_EQ(tiny.update(1), (Steps{up, up}));
    // A huge step count asks for no more steps than a volume range has.
    WatchCrownVolume huge({1.0, std::numeric_limits<std::int64_t>::max()});
    huge.update(0);
    EXPECT_EQ(huge.update(1e12).size(), 100u);
}

}  // namespace
}  // namespace watch_test
