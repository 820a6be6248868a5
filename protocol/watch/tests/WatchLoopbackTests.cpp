// A whole watch session in memory on virtual time: touches reach the computer as moves, typed text comes
// back answered, and the phone's status changes reach the watch and steer its input.
#include <gtest/gtest.h>

#include "WatchTestSupport.h"
#include "platform/ManualExecutor.h"
#include "protocol/watch/WatchConnectionSummary.h"
#include "testing/WatchLoopback.h"

namespace watch_test {
namespace {

using testing_support::LoopbackComputer;
using testing_support::LoopbackPhone;
using testing_support::LoopbackWatch;
using testing_support::WatchLoopbackLink;

struct WatchLoopbackTest : ::testing::Test {
    platform::ManualExecutor executor;
    std::shared_ptr<LoopbackComputer> computer = std::make_shared<LoopbackComputer>();
    std::shared_ptr<LoopbackPhone> phone = std::make_shared<LoopbackPhone>(computer);
    std::shared_ptr<WatchLoopbackLink> link = std::make_shared<WatchLoopbackLink>(executor, phone);
    LoopbackWatch watch{executor, link};

    WatchConnectionSummary summary() const { return WatchConnectionSummary(link->phoneState()); }

    // A finger drawn 2 points right and 1 down every 10 ms; returns the sum of what the mapper made of it.
    std::pair<double, double> stroke(int steps) {
        WatchTouchMapper reference;
        double x = 0, y = 0;
        auto add = [&](const std::vector<Message>& messages) {
            for (const auto& m : messages)
                if (const auto* move = m.as<Message::Move>()) {
                    x += move->dx;
                    y += move->dy;
                }
        };
        const double start = executor.now();
        reference.touchBegan({0, 0}, start);
        watch.touchBegan(0, 0);
        for (int i = 1; i <= steps; ++i) {
            executor.advance(0.01);
            add(reference.touchMoved({2.0 * i, 1.0 * i}, executor.now()));
            watch.touchMoved(2.0 * i, 1.0 * i);
        }
        add(reference.touchEnded({2.0 * steps, 1.0 * steps}, executor.now()));
        watch.touchEnded(2.0 * steps, 1.0 * steps);
        return {x, y};
    }

    std::pair<double, double> receivedMoves(std::size_t from = 0) const {
        double x = 0, y = 0;
        for (std::size_t i = from; i < computer->received.size(); ++i)
            if (const auto* move = computer->received[i].as<Message::Move>()) {
                x += move->dx;
                y += move->dy;
            }
        return {x, y};
    }
};

TEST_F(WatchLoopbackTest, AWholeSession) {
    link->refreshPhoneState();
    EXPECT_EQ(summary().phone.status, "Checking\u2026");
    executor.advance(0.05);
    EXPECT_EQ(summary().mac.status, "No Mac chosen");

    phone->connectTo("Desk", uuid(1));
    executor.advance(0.05);
    EXPECT_TRUE(summary().isReady());
    EXPECT_EQ(summary().mac.name, "Desk");
    EXPECT_EQ(watch.router().targetMacID(), uuid(1));

    // A touch becomes moves that reach the computer, paced and batched, with nothing lost.
    const auto drawn = stroke(60);
    executor.advance(2.0);
    const auto [x, y] = receivedMoves();
    EXPECT_NEAR(x, drawn.first, 1e-3 * drawn.first);
    EXPECT_NEAR(y, drawn.second, 1e-3 * drawn.second);
    EXPECT_GT(drawn.first, 120);  // accelerated
    EXPECT_GE(computer->received.size(), 5u);
    EXPECT_LT(link->payloadsToPhone(), 50u);  // batched: fewer sends than touch samples
    for (const auto& m : computer->received)
        EXPECT_TRUE(m.is<Message::Move>()) << m.description();

    // Typed text comes back answered.
    computer->received.clear();
    watch.type("Hi\nthere");
    EXPECT_EQ(watch.typing().feedback()->phase, WatchTypingFeedback::Phase::sending);
    executor.advance(0.1);
    EXPECT_EQ(computer->received,
              (std::vector<Message>{Message::Text{"Hi"}, message(WatchSpecialKey::return_),
                                    Message::Text{"there"}}));
    EXPECT_EQ(watch.typing().feedback(),
              WatchTypingFeedback::delivered(WatchTypingFeedback::Entry::text("Hi\nthere")));

    // The computer refuses: not delivered, and the text is kept for a retry.
    computer->accepting = false;
    watch.type("lost");
    executor.advance(0.1);
    EXPECT_EQ(watch.typing().feedback()->phase, WatchTypingFeedback::Phase::notDelivered);
    EXPECT_EQ(watch.typing().retryText(), "lost");
    computer->accepting = true;
    watch.typing().retry();
    executor.advance(0.1);
    EXPECT_EQ(computer->received.back(), Message(Message::Text{"lost"}));
    EXPECT_EQ(watch.typing().retryText(), std::nullopt);
}

TEST_F(WatchLoopbackTest, AStrokeBegunBeforeTheComputerChangedNeverReachesTheNewOne) {
    phone->connectTo("Desk", uuid(1));
    executor.advance(0.05);
    const auto before = watch.router().inputSession();

    watch.touchBegan(0, 0);
    for (int i = 1; i <= 20; ++i) {
        executor.advance(0.01);
        watch.touchMoved(3.0 * i, 0);
        if (i == 10)
            phone->connectTo("Studio", uuid(2));
    }
    const std::size_t afterSwitch = computer->received.size();
    watch.touchEnded(60, 0);
    executor.advance(1.0);
    EXPECT_EQ(watch.router().inputSession(), before + 1);
    EXPECT_GT(watch.refused(), 0u);
    // Nothing of the old stroke arrived once the watch knew of the change; what was under way when the
    // phone switched was refused by the phone's own check.
    EXPECT_LE(computer->received.size(), afterSwitch + 1);

    // A new stroke goes to the new computer.
    const std::size_t mark = computer->received.size();
    stroke(20);
    executor.advance(1.0);
    EXPECT_GT(receivedMoves(mark).first, 0);
}

TEST_F(WatchLoopbackTest, DemoModeOfThePhoneAndAnUnreachablePhone) {
    phone->enterDemo();
    executor.advance(0.05);
    EXPECT_EQ(summary().mac.status, "Demo mode");
    stroke(20);
    executor.advance(1.0);
    ASSERT_TRUE(phone->demo());
    EXPECT_GT(phone->demo()->pointer.x, 500);
    EXPECT_TRUE(computer->received.empty());

    link->setReachable(false);
    EXPECT_EQ(summary().phone.status, "Not reachable");
    watch.type("x");
    EXPECT_EQ(watch.typing().feedback()->phase, WatchTypingFeedback::Phase::notSent);
    link->setReachable(true);
    executor.advance(0.05);
    EXPECT_EQ(summary().mac.status, "Demo mode");

    // The watch's own demo computer needs no phone at all.
    watch.router().startDemo();
    executor.advance(0.05);
    stroke(10);
    executor.advance(1.0);
    ASSERT_TRUE(watch.router().demo());
    EXPECT_GT(watch.router().demo()->acceptedCount, 0);
}

}  // namespace
}  // namespace watch_test
