// The phone's relay, the watch's status sequencer and the demo computer.
#include <gtest/gtest.h>

#include <cmath>

#include "WatchTestSupport.h"
#include "protocol/watch/WatchDemoMac.h"
#include "protocol/watch/WatchRelay.h"

namespace watch_test {
namespace {

// A phone application: it records what it hands to the computer, and may change its status while doing
// so (the computer drops off).
class FakePhone : public WatchRelayTarget {
  public:
    WatchStatus status = connected("Desk", uuid(1), 3);
    bool accepts = true;
    std::optional<WatchStatus> statusAfterSending;
    std::vector<Message> sent;

    bool sendToMac(const Message& message) override {
        sent.push_back(message);
        if (statusAfterSending)
            status = *statusAfterSending;
        return accepts;
    }
    WatchStatus watchStatus() const override { return status; }
};

WatchPayload answerTo(const WatchRelay& relay, const WatchPayload& payload) {
    return WatchPayload(relay.receive(payload.encoded()));
}

TEST(WatchRelayAnswers, StatusRequestsAndUnreadableBytes) {
    auto phone = std::make_shared<FakePhone>();
    WatchRelay relay(phone);
    const WatchPayload current = WatchPayload::Status{phone->status};
    EXPECT_EQ(WatchPayload(relay.receive(Data{1, 1})), current);
    EXPECT_EQ(WatchPayload(relay.receive(Data{})), current);
    EXPECT_EQ(WatchPayload(relay.receive(Data{2, 1})), current);
    EXPECT_EQ(WatchPayload(relay.receive(Data{1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 3, 1, 0xEE})), current);
    // A status or result sent by the watch is answered, not echoed.
    EXPECT_EQ(answerTo(relay, WatchPayload::Status{WatchStatus::unavailable}), current);
    EXPECT_EQ(answerTo(relay, WatchPayload::InputResult{true, WatchStatus::unavailable}), current);
    EXPECT_TRUE(phone->sent.empty());

    // Without a target everything is answered with the unavailable status.
    phone.reset();
    EXPECT_EQ(WatchPayload(relay.receive(Data{1, 1})),
              WatchPayload(WatchPayload::Status{WatchStatus::unavailable}));
    EXPECT_EQ(answerTo(relay, WatchPayload::Input{move(1, 1), uuid(1), 3}),
              WatchPayload(WatchPayload::InputResult{false, WatchStatus::unavailable}));
}

TEST(WatchRelayAnswers, InputIsRelayedOnlyWhenAimedAtTheCurrentTarget) {
    auto phone = std::make_shared<FakePhone>();
    WatchRelay relay(phone);
    const auto delivered = answerTo(relay, WatchPayload::Input{move(2, 3), uuid(1), 3});
    EXPECT_EQ(delivered, WatchPayload(WatchPayload::InputResult{true, phone->status}));
    EXPECT_EQ(phone->sent, std::vector<Message>{move(2, 3)});

    for (const auto& stale :
         {WatchPayload::Input{move(1, 1), uuid(1), 2}, WatchPayload::Input{move(1, 1), uuid(1), 4},
          WatchPayload::Input{move(1, 1), uuid(2), 3}, WatchPayload::Input{move(1, 1), std::nullopt, 3}}) {
        EXPECT_FALSE(answerTo(relay, stale).isDelivered());
    }
    for (const Message& refused : {Message(Message::Annotation{}), Message(Message::UnlockRequest{{1, "pw"}}),
                                   Message(Message::SetVolume{50})}) {
        EXPECT_EQ(answerTo(relay, WatchPayload::Input{refused, uuid(1), 3}),
                  WatchPayload(WatchPayload::InputResult{false, phone->status}));
    }
    EXPECT_EQ(phone->sent.size(), 1u);

    phone->accepts = false;
    EXPECT_FALSE(answerTo(relay, WatchPayload::Input{Message::Tap{}, uuid(1), 3}).isDelivered());
}

TEST(WatchRelayAnswers, TheAnswerCarriesTheStatusAfterTheInput) {
    auto phone = std::make_shared<FakePhone>();
    phone->statusAfterSending = WatchStatus(true, WatchStatus::Mac::NotConnected{"Desk", "Gone"}, uuid(1), 3);
    WatchRelay relay(phone);
    EXPECT_EQ(answerTo(relay, WatchPayload::Input{Message::Tap{}, uuid(1), 3}),
              WatchPayload(WatchPayload::InputResult{true, *phone->statusAfterSending}));
}

TEST(WatchRelayAnswers, ARelayOverrideDecides) {
    struct Refusing : FakePhone {
        bool relay(const Message&, const std::optional<UUID>&, std::int64_t) override { return false; }
    };
    auto phone = std::make_shared<Refusing>();
    WatchRelay relay(phone);
    EXPECT_FALSE(answerTo(relay, WatchPayload::Input{Message::Tap{}, uuid(1), 3}).isDelivered());
    EXPECT_TRUE(phone->sent.empty());
}

TEST(WatchStatusSequencerTest, StaleAnswersAreDropped) {
    const WatchStatus a = connected("A", std::nullopt, 1);
    const WatchStatus b = connected("B", std::nullopt, 2);
    WatchStatusSequencer sequencer;
    const auto first = sequencer.ticket();
    const auto second = sequencer.ticket();
    EXPECT_EQ(sequencer.answer(WatchPayload::Status{a}, first), a);
    EXPECT_EQ(sequencer.answer(WatchPayload::Status{a}, second), a);

    // Payloads without a status change nothing.
    EXPECT_EQ(sequencer.receive(WatchPayload::StatusRequest{}), std::nullopt);
    EXPECT_EQ(sequencer.receive(std::nullopt), std::nullopt);
    EXPECT_EQ(sequencer.answer(WatchPayload::Input{move(1, 1), std::nullopt, 0}, first), std::nullopt);
    EXPECT_EQ(sequencer.answer(std::nullopt, first), std::nullopt);
    EXPECT_EQ(sequencer.ticket(), first);

    // An input result, delivered or not, makes older tickets stale.
    EXPECT_EQ(sequencer.receive(WatchPayload::InputResult{false, b}), b);
    EXPECT_EQ(sequencer.answer(WatchPayload::Status{a}, first), std::nullopt);
    const auto third = sequencer.ticket();
    sequencer.invalidate();
    EXPECT_EQ(sequencer.answer(WatchPayload::Status{a}, third), std::nullopt);

    // The counter wraps instead of overflowing.
    WatchStatusSequencer last{INT64_MAX};
    last.invalidate();
    EXPECT_EQ(last.generation, INT64_MIN);
}

// ---- Demo computer ---------------------------------------------------------------------------------

Message key(std::uint16_t code, KeyCombination::Modifiers modifiers = {}) {
    return Message::KeyCombination{KeyCombination{KeyCombination::Code{code}, modifiers}};
}

TEST(WatchDemoMacTest, PointerDragScrollAndClicks) {
    WatchDemoMac mac;
    EXPECT_EQ(mac.pointer, (WatchDemoMac::Point{500, 312.5}));
    EXPECT_TRUE(mac.apply(move(-600, 0)));
    EXPECT_EQ(mac.pointer, (WatchDemoMac::Point{0, 312.5}));
    mac.apply(move(2000, 2000));
    EXPECT_EQ(mac.pointer, (WatchDemoMac::Point{1000, 625}));
    EXPECT_EQ(mac.lastAction, WatchDemoMac::Action{WatchDemoMac::Action::Moved{}});

    mac.apply(Message::Drag{DragPhase::began, -10, 0});
    EXPECT_TRUE(mac.isButtonDown);
    mac.apply(Message::Drag{DragPhase::changed, -10, -5});
    EXPECT_EQ(mac.lastAction, WatchDemoMac::Action{WatchDemoMac::Action::Dragging{}});
    mac.apply(Message::Drag{DragPhase::ended, 0, 0});
    EXPECT_FALSE(mac.isButtonDown);
    EXPECT_EQ(mac.lastAction, WatchDemoMac::Action{WatchDemoMac::Action::Dropped{}});
    EXPECT_EQ(mac.pointer, (WatchDemoMac::Point{980, 620}));

    mac.apply(scroll(0, -4));
    EXPECT_EQ(mac.scrollOffset, 4);
    EXPECT_EQ(mac.lastAction, WatchDemoMac::Action{WatchDemoMac::Action::Scrolled{true}});
    const auto before = mac.lastAction;
    EXPECT_TRUE(mac.apply(scroll(3, 0)));
    EXPECT_EQ(mac.lastAction, before);
    EXPECT_EQ(mac.scrollOffset, 4);

    mac.apply(Message::Tap{2});
    EXPECT_EQ(mac.lastAction, WatchDemoMac::Action{WatchDemoMac::Action::Clicked{2}});
    mac.apply(Message::RightClick{});
    EXPECT_EQ(mac.clickCount, 2);
    EXPECT_EQ(mac.acceptedCount, 9);
}

TEST(WatchDemoMacTest, GesturesKeysAndText) {
    WatchDemoMac mac;
    auto swiped = [](int fingers, std::optional<SwipeDirection> direction) {
        return WatchDemoMac::Action{WatchDemoMac::Action::Swiped{fingers, direction}};
    };
    mac.apply(Message::Gesture{Gesture{Gesture::Swipe{3, SwipeDirection::up}}});
    EXPECT_EQ(mac.lastAction, swiped(3, SwipeDirection::up));
    mac.apply(
        Message::Gesture{Gesture{Gesture::SwipeTracking{GesturePhase::changed, 4, 3, -3, std::nullopt}}});
    EXPECT_EQ(mac.lastAction, swiped(4, SwipeDirection::right));
    mac.apply(
        Message::Gesture{Gesture{Gesture::SwipeTracking{GesturePhase::changed, 4, 0, 5, std::nullopt}}});
    EXPECT_EQ(mac.lastAction, swiped(4, SwipeDirection::down));
    mac.apply(Message::Gesture{Gesture{Gesture::SwipeTracking{GesturePhase::ended, 3, 0, 0, std::nullopt}}});
    EXPECT_EQ(mac.lastAction, swiped(3, std::nullopt));
    mac.apply(Message::Gesture{Gesture{Gesture::Pinch{GesturePhase::began, 0.1f, std::nullopt}}});
    EXPECT_EQ(mac.lastAction, WatchDemoMac::Action{WatchDemoMac::Action::Other{}});
    mac.apply(Message::MediaCommand{MediaCommand::mute});
    EXPECT_EQ(mac.lastAction, WatchDemoMac::Action{WatchDemoMac::Action::Other{}});

    mac.apply(key(51));  // delete on an empty line
    EXPECT_EQ(mac.typedLine, "");
    EXPECT_EQ(
        mac.lastAction,
        (WatchDemoMac::Action{WatchDemoMac::Action::Pressed{KeyCombination{KeyCombination::Code{51}, {}}}}));
    mac.apply(Message::Text{"abcdefghijklmnopqrstuvwxyz0123"});
    EXPECT_EQ(mac.typedLine, "ghijklmnopqrstuvwxyz0123");
    mac.apply(Message::Text{"e\u0301"});  // one character of two scalars
    EXPECT_EQ(mac.typedLine, "hijklmnopqrstuvwxyz0123e\u0301");
    mac.apply(key(51));
    EXPECT_EQ(mac.typedLine, "hijklmnopqrstuvwxyz0123");
    mac.apply(key(36, KeyCombination::Modifiers::shift));
    EXPECT_EQ(mac.typedLine, "hijklmnopqrstuvwxyz0123");
    mac.apply(key(36));
    EXPECT_EQ(mac.typedLine, "");
}

TEST(WatchDemoMacTest, RefusesWhatCouldNotBeSentToARealComputer) {
    WatchDemoMac mac;
    const WatchDemoMac fresh = mac;
    for (const Message& refused :
         {Message(Message::AppsRequest{}), Message(Message::SetVolume{10}), Message(move(NAN, 1)),
          Message(move(INFINITY, 0)), Message(Message::Text{std::string(256, 'a')}),
          Message(Message::Text{"\xFF"})}) {
        EXPECT_FALSE(WatchDemoMac::accepts(refused)) << refused.description();
        EXPECT_FALSE(mac.apply(refused));
    }
    EXPECT_EQ(mac, fresh);
}

}  // namespace
}  // namespace watch_test
