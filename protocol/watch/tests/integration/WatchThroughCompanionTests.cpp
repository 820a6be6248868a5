// The watch in front of a real computer: the loopback's phone relays the watch's input through a paired
// phone client over TLS 1.3 and DTLS 1.2 on 127.0.0.1 to the companion listener, which hands each message
// to its callback as it would to the injector.
#include <gtest/gtest.h>

#include "network/tests/integration/ListenerHarness.h"
#include "platform/ManualExecutor.h"
#include "testing/WatchLoopback.h"

namespace {

using namespace TrackpadProtocol;
using CompanionNetwork::tests::ListenerHarness;

TEST(WatchThroughCompanion, TouchesAndTypingReachTheListener) {
    ListenerHarness computer;
    computer.start();
    auto client = computer.sessionPhone("Watch's iPhone");

    platform::ManualExecutor executor;
    auto phone = std::make_shared<testing_support::LoopbackPhone>([&](const Message& message) {
        if (message.transport() == Transport::datagram)
            client->sendDatagram(message);
        else
            client->send(message);
        return true;
    });
    auto link = std::make_shared<testing_support::WatchLoopbackLink>(executor, phone);
    testing_support::LoopbackWatch watch(executor, link);
    UUID desk;
    desk.bytes.fill(9);
    phone->connectTo("Desk", desk);
    executor.advance(0.05);
    ASSERT_EQ(watch.router().targetMacID(), desk);

    // A stroke: the moves' sum arrives whole.
    WatchTouchMapper reference;
    double expected = 0;
    reference.touchBegan({0, 0}, executor.now());
    watch.touchBegan(0, 0);
    for (int i = 1; i <= 30; ++i) {
        executor.advance(0.01);
        for (const auto& m : reference.touchMoved({3.0 * i, 0}, executor.now()))
            expected += m.as<Message::Move>()->dx;
        watch.touchMoved(3.0 * i, 0);
    }
    watch.touchEnded(90, 0);
    executor.advance(1.0);
    watch.type("ok");
    executor.advance(0.1);
    EXPECT_EQ(watch.typing().feedback()->phase, WatchTypingFeedback::Phase::delivered);

    double received = 0;
    bool typed = false;
    const bool arrived = testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        received = 0;
        typed = false;
        for (const auto& d : computer.delivered) {
            if (const auto* move = d.message.as<Message::Move>())
                received += move->dx;
            if (const auto* text = d.message.as<Message::Text>())
                typed = text->text == "ok";
        }
        return typed && std::abs(received - expected) < 1e-3 * expected;
    });
    EXPECT_TRUE(arrived) << "moves " << received << " of " << expected << ", text " << typed;
    EXPECT_GT(expected, 90);
}

}  // namespace
