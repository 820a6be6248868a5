// What a hostile phone on the same network can try against the listener, and what a faulty service can
// do to it: floods that never read, connections that only hold a slot, bad frames between good ones,
// callbacks that throw, requests nobody serves, and absurd time-outs.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <limits>
#include <thread>

#include "network/ListenerCore.h"
#include "network/ServiceAnswers.h"
#include "network/tests/integration/ListenerHarness.h"
#include "platform/LogCapture.h"
#include "protocol/messages/LargePayloads.h"
#include "testing/HostileClients.h"

namespace CompanionNetwork::tests {
namespace {

using testing_support::Bytes;
using testing_support::eventually;

// A probe round trip on the phone's TLS connection works.
void expectProbeAnswered(testing_support::PhoneTestClient& phone, std::uint32_t number) {
    phone.send(Message::Probe{number, false});
    const auto reply = phone.receiveUntil(
        [&](const Message& message) {
            const auto* probe = message.as<Message::ProbeReply>();
            return probe != nullptr && probe->number == number;
        },
        5);
    EXPECT_TRUE(reply.has_value()) << "probe " << number;
}

std::size_t linesContaining(const platform::LogCapture& capture, const std::string& text) {
    std::size_t count = 0;
    for (const auto& entry : capture.entries()) {
        count += entry.message.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

TEST(HostilePeers, ConnectionsThatSendProbesAndNeverReadAreNotReadEitherAndAPhoneKeepsWorking) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Honest", false);
    platform::LogCapture capture;
    testing_support::ProbeFlood flood("127.0.0.1", computer.endpoint.tcpPort, 7);

    // The flood stalls once the computer stops reading it: only the socket buffers take more.
    std::uint64_t seen = 0;
    int stillFor = 0;
    for (int i = 0; i < 100 && stillFor < 4 && flood.mostSentOnOneConnection() < (40u << 20); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const std::uint64_t now = flood.bytesSent();
        stillFor = now == seen && now > 0 ? stillFor + 1 : 0;
        seen = now;
    }
    EXPECT_EQ(stillFor, 4) << "the flood never stalled: " << flood.bytesSent() << " bytes taken";
    EXPECT_LT(flood.mostSentOnOneConnection(), 8u << 20);
    for (std::uint32_t number = 1; number <= 20; ++number) {
        expectProbeAnswered(*phone, number);
    }
    EXPECT_EQ(linesContaining(capture, "write queue full"), 0u);
}

TEST(HostilePeers, SilentConnectionsThatReopenAsTheyCloseDoNotKeepAPhoneOut) {
    ListenerHarness computer;
    computer.start();
    // Eight hosts, one silent connection each: together they hold every slot.
    std::vector<std::unique_ptr<testing_support::SilentConnections>> hosts;
    for (int i = 0; i < 8; ++i) {
        hosts.push_back(std::make_unique<testing_support::SilentConnections>(
            "127.0.0.1", computer.endpoint.tcpPort, 1, "127.0.0." + std::to_string(10 + i)));
    }
    const auto open = [&] {
        int count = 0;
        for (const auto& each : hosts) {
            count += each->open();
        }
        return count;
    };
    const auto opened = [&] {
        std::uint64_t count = 0;
        for (const auto& each : hosts) {
            count += each->opened();
        }
        return count;
    };
    ASSERT_TRUE(eventually([&] { return open() == 8; }));
    // A new connection takes the place of one that has had its chance to speak.
    std::this_thread::sleep_for(std::chrono::duration<double>(ListenerCore::evictionGrace + 0.2));
    std::unique_ptr<testing_support::PhoneTestClient> phone;
    const bool paired = eventually(
        [&] {
            try {
                phone = computer.sessionPhone("Honest", false);
                return true;
            } catch (const std::exception&) {
                return false;
            }
        },
        20);
    ASSERT_TRUE(paired);
    // Held by its session, it is never the one that makes room.
    const std::uint64_t before = opened();
    ASSERT_TRUE(eventually([&] { return opened() > before + 16; }, 30));
    EXPECT_TRUE(phone->isConnected());
    expectProbeAnswered(*phone, 1);
}

TEST(HostilePeers, SixHostsReopeningTwoSilentSocketsEachLetEveryPhoneThatConnectsOpenItsSession) {
    ListenerHarness computer;
    computer.start();
    std::vector<std::unique_ptr<testing_support::SilentConnections>> hosts;
    for (int i = 0; i < 6; ++i) {
        hosts.push_back(std::make_unique<testing_support::SilentConnections>(
            "127.0.0.1", computer.endpoint.tcpPort, 2, "127.0.0." + std::to_string(40 + i)));
    }
    ASSERT_TRUE(eventually([&] {
        std::uint64_t opened = 0;
        for (const auto& each : hosts) {
            opened += each->opened();
        }
        return opened >= 12;
    }));
    // Each at its first try, at whatever point of the churn it comes.
    int sessions = 0;
    for (int i = 0; i < 6; ++i) {
        try {
            auto phone = computer.sessionPhone("Honest " + std::to_string(i), false);
            sessions += phone->hasSession() ? 1 : 0;
        } catch (const std::exception& error) {
            ADD_FAILURE() << "phone " << i << ": " << error.what();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150 * i));
    }
    EXPECT_EQ(sessions, 6);
}

TEST(HostilePeers, OneHostReopeningNineSocketsAsTheyCloseHoldsTwoSlotsAndNewPhonesPairAtOnce) {
    ListenerHarness computer;
    computer.start();
    testing_support::SilentConnections churn("127.0.0.1", computer.endpoint.tcpPort, 9, "127.0.0.2");
    ASSERT_TRUE(eventually([&] { return churn.opened() > 40; }, 10));
    // Past the eviction grace too: the churning host's own connections are the ones that make room.
    std::this_thread::sleep_for(std::chrono::duration<double>(ListenerCore::evictionGrace + 0.2));
    std::vector<std::unique_ptr<testing_support::PhoneTestClient>> phones;
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        // At the first try, without waiting for any slot to free up.
        ASSERT_NO_THROW(phones.push_back(computer.sessionPhone("Honest " + std::to_string(i), false)));
    }
    for (auto& phone : phones) {
        expectProbeAnswered(*phone, 1);
    }
}

TEST(HostilePeers, AHostThatReconnectsAfterEveryTwoBadFramesGetsNoNewLogLinesForItsNewConnections) {
    ListenerHarness computer;
    computer.start();
    auto bystander = computer.sessionPhone("Bystander", false);
    platform::LogCapture capture;
    {
        testing_support::BadFrameReconnects noisy("127.0.0.1", computer.endpoint.tcpPort, 2, "127.0.0.3");
        ASSERT_TRUE(eventually([&] { return noisy.connections() > 100; }, 20));
    }
    expectProbeAnswered(*bystander, 1);
    // Its own budget, whatever the number of connections: bad frames and closes together.
    EXPECT_LE(linesContaining(capture, "from 127.0.0.3") + linesContaining(capture, "dropped a message"),
              static_cast<std::size_t>(ConnectionNotices::hostBurst));
    EXPECT_LE(capture.entries().size(), static_cast<std::size_t>(ConnectionNotices::listenerBurst + 2));
    // What was held back is told in one line, at the latest when the listener stops.
    computer.loop.call([&] { computer.listener->stop(); });
    computer.loop.call([] {});  // the stop hops onto the queue
    EXPECT_GE(linesContaining(capture, "more lines about connections were not logged"), 1u);
}

TEST(HostilePeers, EverySlotHeldBySessionsRefusesANewConnection) {
    ListenerHarness computer;
    computer.start();
    std::vector<std::unique_ptr<testing_support::PhoneTestClient>> phones;
    for (int i = 0; i < 8; ++i) {
        phones.push_back(computer.sessionPhone("Phone " + std::to_string(i), false));
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(ListenerCore::evictionGrace + 0.2));
    auto ninth = computer.phoneFrom(30, "Ninth");
    EXPECT_THROW(ninth->connect(), std::runtime_error);
    for (auto& phone : phones) {
        EXPECT_TRUE(phone->isConnected());
    }
}

TEST(HostilePeers, BadFramesBetweenGoodOnesCloseTheConnectionAndTheirLinesAreLimited) {
    ListenerHarness computer;
    computer.start();
    auto bystander = computer.sessionPhone("Bystander", false);
    platform::LogCapture capture;
    auto noisy = computer.phone("Noisy");
    noisy->connect();
    try {
        for (std::uint32_t i = 0; i < 200; ++i) {
            noisy->sendRaw(Bytes{0x00, 0x02, 0x01, 0xEE});  // an unknown message type
            noisy->send(Message::Probe{i, false});
        }
    } catch (const std::exception&) {
        // Closed under way.
    }
    EXPECT_TRUE(noisy->waitForClose(5));
    EXPECT_LE(linesContaining(capture, "dropped a message from connection"),
              static_cast<std::size_t>(ConnectionNotices::hostBurst));
    expectProbeAnswered(*bystander, 1);
    computer.loop.call([&] { computer.listener->stop(); });
    computer.loop.call([] {});  // the stop hops onto the queue
    EXPECT_EQ(linesContaining(capture, "more lines about connections were not logged"), 1u);
}

TEST(ServiceFaults, CallbacksThatThrowAreAnsweredAsFailedAndTheListenerGoesOn) {
    ListenerHarness::Options options;
    options.throwing = true;
    ListenerHarness computer(options);
    computer.start();
    // The pairing event handler throws at every event: pairing and sessions go on.
    auto phone = computer.sessionPhone("Phone", false);
    auto other = computer.sessionPhone("Other", false);

    phone->send(Message::Tap{1});
    phone->send(Message::Tap{2});
    EXPECT_EQ(computer.waitForDelivered(2).size(), 2u);

    const std::vector<Message> requests = {
        Message::OpenApp{"org.example.app"},
        Message::VolumeStatusRequest{},
        Message::UnlockRequest{{5, "secret"}},
        Message::ScreenViewStart{{1, 1024, 30, TrackpadProtocol::ScreenVideoCodecs::h264}},
        Message::ScreenshotRequest{{9, 1, 1024}},
    };
    for (const Message& request : requests) {
        SCOPED_TRACE(request.description());
        const std::vector<Message> expected = unservedAnswer(request, ServiceFault::failed);
        ASSERT_FALSE(expected.empty());
        phone->send(request);
        EXPECT_TRUE(phone->receiveUntil([&](const Message& m) { return m == expected.front(); }, 5));
    }
    expectProbeAnswered(*other, 1);
    other->send(Message::Tap{3});
    EXPECT_EQ(computer.waitForDelivered(3).back().message, Message(Message::Tap{3}));
}

std::vector<Message> serviceRequests() {
    return {
        Message::AppsRequest{TrackpadProtocol::AppListKind::installed},
        Message::AppsRequest{TrackpadProtocol::AppListKind::running},
        Message::AppIconRequest{{"org.example.app", 64}},
        Message::OpenApp{"org.example.app"},
        Message::ScreenDisplaysRequest{},
        Message::ScreenViewStart{{1, 1024, 30, TrackpadProtocol::ScreenVideoCodecs::h264}},
        Message::ScreenViewSelectDisplay{2},
        Message::ScreenViewStop{},
        Message::ScreenshotRequest{{9, 1, 1024}},
        Message::SetVolume{50},
        Message::SetMute{true},
        Message::VolumeStatusRequest{},
        Message::UnlockRequest{{5, "secret"}},
    };
}

TEST(ServiceFaults, EveryRequestNobodyServesGetsTheAnswerOfAnAbsentService) {
    // No service behind the features offered, and features not offered at all.
    for (const bool offered : {true, false}) {
        SCOPED_TRACE(offered ? "offered without services" : "not offered");
        ListenerHarness::Options options;
        options.appAndScreenCallbacks = false;
        options.unlockCallback = false;
        options.volumeCallback = false;
        if (!offered) {
            options.pairing.features = TrackpadProtocol::HostFeatures{};
        }
        ListenerHarness computer(options);
        computer.start();
        auto phone = computer.sessionPhone("Phone", false);
        for (const Message& request : serviceRequests()) {
            SCOPED_TRACE(request.description());
            const std::vector<Message> expected = unservedAnswer(request, ServiceFault::absent);
            ASSERT_FALSE(expected.empty());
            phone->send(request);
            EXPECT_TRUE(phone->receiveUntil([&](const Message& m) { return m == expected.front(); }, 5));
        }
    }
}

TEST(ListenerTimeouts, AnInfiniteOrHugeHandshakeTimeoutClosesNothingAtOnce) {
    for (const double timeout : {std::numeric_limits<double>::infinity(), 1e300}) {
        SCOPED_TRACE(timeout);
        ListenerHarness::Options options;
        options.configuration.handshakeTimeout = timeout;
        options.configuration.scrollIdleTimeout = timeout;
        ListenerHarness computer(options);
        computer.start();
        auto idle = computer.phone("Idle");
        idle->connect();
        EXPECT_FALSE(idle->waitForClose(0.5));
        auto phone = computer.sessionPhone("Phone", false);
        expectProbeAnswered(*phone, 1);
    }
}

}  // namespace
}  // namespace CompanionNetwork::tests
