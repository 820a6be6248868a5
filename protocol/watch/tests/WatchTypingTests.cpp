// Typing texts and keys, the input router's sessions and demo mode, and the typing sender's answers,
// time-outs and retries on virtual time.
#include <gtest/gtest.h>

#include "WatchTestSupport.h"
#include "platform/ManualExecutor.h"
#include "protocol/watch/WatchInputRouter.h"
#include "protocol/watch/WatchTyping.h"
#include "protocol/watch/WatchTypingSender.h"

namespace watch_test {
namespace {

using Messages = std::vector<Message>;

Message text(const std::string& t) {
    return Message::Text{t};
}
const Message returnKey = message(WatchSpecialKey::return_);

std::string repeat(const std::string& piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

TEST(WatchTypingTest, LongTextIsCutBetweenCharacters) {
    EXPECT_EQ(WatchTyping::messages(std::string(300, 'a')),
              (Messages{text(std::string(255, 'a')), text(std::string(45, 'a'))}));
    EXPECT_EQ(WatchTyping::messages(repeat("€", 100)),
              (Messages{text(repeat("€", 85)), text(repeat("€", 15))}));
    EXPECT_EQ(WatchTyping::textMessages(std::string(254, 'a') + "é" + "b", 255),
              (Messages{text(std::string(254, 'a')), text("éb")}));
    // A character longer than the limit on its own is cut between its scalars, never inside one.
    const std::string accents = "e" + repeat("\u0301", 3);  // 7 bytes, one character
    EXPECT_EQ(WatchTyping::textMessages("ab" + accents + "c", 4),
              (Messages{text("ab"), text("e\u0301"), text("\u0301\u0301"), text("c")}));
    EXPECT_EQ(WatchTyping::textMessages("😀😀", 2), (Messages{text("😀"), text("😀")}));
    EXPECT_EQ(WatchTyping::textMessages("", 255), Messages{});
}

TEST(WatchTypingTest, LineBreaksBecomeReturn) {
    EXPECT_EQ(WatchTyping::messages("a\r\nb"), (Messages{text("a"), returnKey, text("b")}));
    EXPECT_EQ(WatchTyping::messages("a\n\nb"), (Messages{text("a"), returnKey, returnKey, text("b")}));
    EXPECT_EQ(WatchTyping::messages("a\n"), (Messages{text("a"), returnKey}));
    EXPECT_EQ(WatchTyping::messages("\n"), Messages{returnKey});
    EXPECT_EQ(WatchTyping::messages("a\u2028b\u0085c\vd"),
              (Messages{text("a"), returnKey, text("b"), returnKey, text("c"), returnKey, text("d")}));
    EXPECT_EQ(WatchTyping::messages("a\tb"), Messages{text("a\tb")});
    EXPECT_EQ(WatchTyping::messages(""), Messages{});
    // Every piece is a message the codec can carry.
    for (const auto& m : WatchTyping::messages("x\xFF" + repeat("🇩🇪", 80)))
        EXPECT_NO_THROW(MessageCodec::encode(m));
}

TEST(WatchTypingTest, KeysAndFeedback) {
    EXPECT_EQ(keyCode(WatchSpecialKey::up), 126);
    EXPECT_EQ(watchSpecialKeyFromRaw("delete"), WatchSpecialKey::delete_);
    EXPECT_EQ(watchSpecialKeyFromRaw("home"), std::nullopt);
    for (auto key : allWatchSpecialKeys)
        EXPECT_EQ(watchSpecialKeyFromRaw(rawValue(key)), key);
    EXPECT_EQ(messages(WatchSpecialKey::tab),
              (Messages{Message::KeyCombination{KeyCombination{KeyCombination::Code{48}, {}}}}));
    using Entry = WatchTypingFeedback::Entry;
    EXPECT_EQ(WatchTypingFeedback::delivered(Entry::key(WatchSpecialKey::tab)).haptic(),
              WatchTypingFeedback::Haptic::click);
    EXPECT_EQ(WatchTypingFeedback::delivered(Entry::text("a")).haptic(),
              WatchTypingFeedback::Haptic::success);
    EXPECT_EQ(WatchTypingFeedback::unanswered(Entry::text("a")).haptic(),
              WatchTypingFeedback::Haptic::failure);
    EXPECT_EQ(WatchTypingFeedback::sending(Entry::text("a")).haptic(), std::nullopt);
}

// ---- Router ----------------------------------------------------------------------------------------

class FakeSink : public WatchInputSink {
  public:
    struct Sent {
        Message message;
        std::optional<UUID> target;
        std::int64_t session;
        std::function<void(bool)> onAnswer;
    };
    bool accepts = true;
    std::vector<Sent> sent;
    std::function<void(const WatchPhoneState&)> observer;
    int refreshes = 0;

    void refreshPhoneState() override { ++refreshes; }
    bool send(const Message& message, const std::optional<UUID>& target, std::int64_t session,
              std::function<void(bool)> onAnswer) override {
        if (!accepts)
            return false;
        sent.push_back({message, target, session, std::move(onAnswer)});
        return true;
    }
    void observePhoneState(std::function<void(const WatchPhoneState&)> callback) override {
        observer = std::move(callback);
    }
    void push(const WatchStatus& status) { observer(WatchPhoneState{WatchPhoneState::Answered{status}}); }
    void answerAll(bool delivered) {
        auto pending = std::move(sent);
        sent.clear();
        for (auto& s : pending)
            if (s.onAnswer)
                s.onAnswer(delivered);
    }
};

struct RouterTest : ::testing::Test {
    platform::ManualExecutor executor;
    std::shared_ptr<FakeSink> sink = std::make_shared<FakeSink>();
    std::shared_ptr<WatchInputRouter> router = WatchInputRouter::create(sink, executor);
};

TEST_F(RouterTest, SessionsFollowThePhonesTarget) {
    EXPECT_TRUE(router->send(move(1, 1), 0));
    EXPECT_EQ(sink->sent.back().target, std::nullopt);
    EXPECT_EQ(sink->sent.back().session, 0);

    std::vector<std::int64_t> published;
    auto subscription = router->observeInputSession([&](const std::int64_t& s) { published.push_back(s); });
    sink->push(connected("Desk", uuid(1), 7));  // the first status binds session 0
    sink->push(connected("Desk", uuid(1), 7));  // the same again
    EXPECT_EQ(router->inputSession(), 0);
    router->send(move(1, 1), 0);
    EXPECT_EQ(sink->sent.back().target, uuid(1));
    EXPECT_EQ(sink->sent.back().session, 7);
    // Checking, unreachable and no answer leave everything as it is.
    sink->observer(WatchPhoneState{WatchPhoneState::Unreachable{}});
    EXPECT_EQ(router->targetMacID(), uuid(1));

    sink->push(connected("Studio", uuid(2), 7));
    EXPECT_EQ(router->inputSession(), 1);
    EXPECT_FALSE(router->send(move(1, 1), 0));
    EXPECT_TRUE(router->send(move(1, 1), 1));
    EXPECT_EQ(sink->sent.back().target, uuid(2));
    sink->push(connected("Studio 2", uuid(2), 7));  // only the name changed
    EXPECT_EQ(router->inputSession(), 2);
    EXPECT_EQ(published, (std::vector<std::int64_t>{1, 2}));

    sink->accepts = false;
    EXPECT_FALSE(router->send(move(1, 1), 2));
}

TEST_F(RouterTest, DemoModeAnswersAsynchronouslyAndRebindsOnLeaving) {
    sink->push(connected("Desk", uuid(1), 7));
    router->startDemo();
    router->startDemo();
    EXPECT_EQ(router->inputSession(), 1);
    ASSERT_TRUE(router->isDemo());

    std::optional<bool> answer;
    EXPECT_TRUE(router->send(move(10, 0), 1, [&](bool delivered) { answer = delivered; }));
    EXPECT_EQ(answer, std::nullopt);  // never from inside send
    executor.drain();
    EXPECT_EQ(answer, true);
    EXPECT_EQ(router->demo()->pointer.x, 510);
    EXPECT_TRUE(sink->sent.empty());
    EXPECT_FALSE(router->send(Message::AppsRequest{}, 1));
    EXPECT_EQ(router->demo()->acceptedCount, 1);

    // A status in demo mode updates the target without a new session.
    sink->push(connected("Studio", uuid(2), 9));
    EXPECT_EQ(router->inputSession(), 1);
    router->stopDemo();
    EXPECT_EQ(router->inputSession(), 2);
    EXPECT_FALSE(router->isDemo());
    router->send(move(1, 1), 2);
    EXPECT_EQ(sink->sent.back().target, uuid(2));
    EXPECT_EQ(sink->sent.back().session, 9);
}

TEST_F(RouterTest, TheRouterIsHeldWeaklyByItsSink) {
    std::weak_ptr<WatchInputRouter> weak = router;
    router.reset();
    EXPECT_TRUE(weak.expired());
    sink->push(connected("Desk", uuid(1), 1));  // nothing to apply it to, and no crash
}

// ---- Typing sender ---------------------------------------------------------------------------------

struct TypingSenderTest : RouterTest {
    // What the queue's clock missed while the device slept.
    double slept = 0;
    std::shared_ptr<WatchTypingSender> sender = WatchTypingSender::create(
        router, executor, WatchTypingSender::standardAnswerTimeout, [this] { return executor.now() + slept; });
    std::vector<WatchTypingFeedback> finished;
    TypingSenderTest() {
        sender->onFinish = [this](const WatchTypingFeedback& f) { finished.push_back(f); };
    }
    using Entry = WatchTypingFeedback::Entry;
};

TEST_F(TypingSenderTest, AnActionIsDeliveredAfterEveryAnswer) {
    sender->send("one\ntwo");
    ASSERT_EQ(sink->sent.size(), 3u);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::sending(Entry::text("one\ntwo")));
    sink->sent[0].onAnswer(true);
    sink->sent[1].onAnswer(true);
    EXPECT_TRUE(finished.empty());
    sink->sent[2].onAnswer(true);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::delivered(Entry::text("one\ntwo")));
    EXPECT_EQ(finished.size(), 1u);
    // Late answers for a finished action are ignored.
    sink->sent[2].onAnswer(false);
    EXPECT_EQ(finished.size(), 1u);
}

TEST_F(TypingSenderTest, TimeOutAfterEightSeconds) {
    sender->send("one\ntwo");
    sink->sent[0].onAnswer(true);
    sink->sent[1].onAnswer(true);
    executor.advance(7.999);
    EXPECT_EQ(sender->feedback()->phase, WatchTypingFeedback::Phase::sending);
    executor.advance(0.001);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::unanswered(Entry::text("one\ntwo")));
    EXPECT_EQ(sender->retryText(), "one\ntwo");
    sink->sent[2].onAnswer(true);
    EXPECT_EQ(finished.size(), 1u);
}

TEST_F(TypingSenderTest, TheTimeOutCountsTheTimeTheDeviceSlept) {
    sender->send("one");
    executor.advance(2.0);
    slept += 10;  // the queue's timers stood still meanwhile
    executor.advance(WatchTypingSender::timeoutCheckInterval);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::unanswered(Entry::text("one")));
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST_F(TypingSenderTest, FailureRetryAndRetryText) {
    sender->send("hello");
    sink->answerAll(false);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::notDelivered(Entry::text("hello")));
    EXPECT_EQ(sender->retryText(), "hello");
    EXPECT_EQ(executor.pendingTimers(), 0u);  // the time-out went with the action

    sender->retry();
    EXPECT_EQ(sink->sent.size(), 1u);
    sender->retry();  // already on its way
    EXPECT_EQ(sink->sent.size(), 1u);
    sink->answerAll(true);
    EXPECT_EQ(sender->retryText(), std::nullopt);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::delivered(Entry::text("hello")));

    // A failed key leaves the retry text alone.
    sender->send(WatchSpecialKey::escape);
    sink->answerAll(false);
    EXPECT_EQ(sender->retryText(), std::nullopt);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::notDelivered(Entry::key(WatchSpecialKey::escape)));

    // An empty text changes nothing.
    sender->send("");
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::notDelivered(Entry::key(WatchSpecialKey::escape)));
}

TEST_F(TypingSenderTest, AnOlderActionDoesNotOverwriteTheFeedback) {
    sender->send("first");
    sender->send("second");
    sink->sent[0].onAnswer(true);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::sending(Entry::text("second")));
    EXPECT_EQ(finished,
              std::vector<WatchTypingFeedback>{WatchTypingFeedback::delivered(Entry::text("first"))});
}

TEST_F(TypingSenderTest, SessionChangesAndRefusals) {
    sender->send("a");
    sink->push(connected("Desk", uuid(1), 1));
    sink->push(connected("Studio", uuid(2), 1));  // the router moves to session 1
    sink->answerAll(true);
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::notDelivered(Entry::text("a")));

    sender->send("b");
    EXPECT_EQ(sender->feedback(), WatchTypingFeedback::notSent(Entry::text("b")));
    EXPECT_EQ(executor.pendingTimers(), 0u);
    EXPECT_TRUE(sink->sent.empty());

    auto current = WatchTypingSender::create(router, executor);
    current->send("c", 0);  // a session the sender does not have
    EXPECT_EQ(current->feedback(), WatchTypingFeedback::notSent(Entry::text("c")));
    sink->accepts = false;
    current->send("d");
    EXPECT_EQ(current->feedback(), WatchTypingFeedback::notSent(Entry::text("d")));
    EXPECT_EQ(current->retryText(), "d");
}

TEST_F(TypingSenderTest, AMissingPieceStopsTheRestOfTheText) {
    // A sink that answers inside send: the first piece is refused by the computer.
    struct Immediate : FakeSink {
        bool send(const Message& m, const std::optional<UUID>& t, std::int64_t s,
                  std::function<void(bool)> onAnswer) override {
            FakeSink::send(m, t, s, {});
            onAnswer(false);
            return true;
        }
    };
    auto immediate = std::make_shared<Immediate>();
    auto ownRouter = WatchInputRouter::create(immediate, executor);
    auto ownSender = WatchTypingSender::create(ownRouter, executor);
    ownSender->send("one\ntwo");
    EXPECT_EQ(immediate->sent.size(), 1u);
    EXPECT_EQ(ownSender->feedback(), WatchTypingFeedback::notDelivered(Entry::text("one\ntwo")));
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST_F(TypingSenderTest, AReleasedSenderEndsNothing) {
    sender->send("a");
    sender.reset();
    executor.advance(10.0);
    sink->answerAll(true);
    EXPECT_TRUE(finished.empty());
}

}  // namespace
}  // namespace watch_test
