// What a hostile or broken phone can do to the listener: bad bytes, bad frames, messages out of place,
// too many connections, idle connections; and the listener's own life cycle.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "network/FileTrustedDeviceStore.h"
#include "network/tests/TestSupport.h"
#include "network/tests/integration/ListenerHarness.h"

namespace CompanionNetwork::tests {
namespace {

using testing_support::Bytes;

Bytes frameOf(std::uint16_t length, std::uint8_t fill) {
    Bytes frame{static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
    frame.insert(frame.end(), length, fill);
    return frame;
}

// A connection that still works: a tap on it arrives.
void expectStillServes(ListenerHarness& computer, testing_support::PhoneTestClient& phone) {
    const std::size_t before = computer.deliveredCount();
    phone.send(Message::Tap{2});
    const auto delivered = computer.waitForDelivered(before + 1);
    ASSERT_EQ(delivered.size(), before + 1);
    EXPECT_EQ(delivered.back().message, Message(Message::Tap{2}));
    EXPECT_EQ(delivered.back().device, phone.deviceID());
}

TEST(ListenerRobustness, UndecodableFramesDropOnlyTheirMessage) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Phone", false);

    // An unknown message type, a wrong version, and the largest frame there is, full of garbage, with
    // good messages between them (three bad frames in a row end the connection).
    phone->sendRaw(Bytes{0x00, 0x02, 0x01, 0xEE});
    expectStillServes(computer, *phone);
    phone->sendRaw(Bytes{0x00, 0x02, 0x07, 0x11});
    phone->sendRaw(frameOf(65535, 0xA5));
    expectStillServes(computer, *phone);
    EXPECT_EQ(computer.deliveredCount(), 2u);
}

TEST(ListenerRobustness, ThreeUndecodableFramesInARowCloseTheConnection) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Phone", false);
    for (int i = 0; i < 3; ++i) {
        phone->sendRaw(Bytes{0x00, 0x02, 0x01, 0xEE});
    }
    EXPECT_TRUE(phone->waitForClose(5));
}

TEST(ListenerRobustness, AZeroLengthFrameClosesThatConnectionOnly) {
    ListenerHarness computer;
    computer.start();
    auto bystander = computer.sessionPhone("Bystander", true);
    auto phone = computer.sessionPhone("Broken", false);
    phone->sendRaw(Bytes{0x00, 0x00});
    EXPECT_TRUE(phone->waitForClose(5));
    expectStillServes(computer, *bystander);
    bystander->sendDatagram(Message::Move{1, 2});
    EXPECT_EQ(computer.waitForDelivered(2).back().message, Message(Message::Move{1, 2}));
}

TEST(ListenerRobustness, GarbageBytesOnTheStreamNeverTakeTheProcessDown) {
    // Noise may announce a long frame and then stop: the handshake timeout ends such a connection.
    ListenerHarness::Options options;
    options.configuration.handshakeTimeout = 1.0;
    ListenerHarness computer(options);
    computer.start();
    auto bystander = computer.sessionPhone("Bystander", false);
    auto phone = computer.phone("Noise");
    phone->connect();
    Bytes noise(40000);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    }
    try {
        phone->sendRaw(noise);
    } catch (const std::exception&) {
        // The computer may already have closed the connection.
    }
    EXPECT_TRUE(phone->waitForClose(5));
    expectStillServes(computer, *bystander);
}

TEST(ListenerRobustness, AMessageOnlyTheComputerSendsClosesTheConnection) {
    ListenerHarness computer;
    computer.start();
    auto bystander = computer.sessionPhone("Bystander", false);
    auto phone = computer.sessionPhone("Confused", false);
    phone->send(Message::VolumeStatus{{50, false, true}});
    EXPECT_TRUE(phone->waitForClose(5));
    expectStillServes(computer, *bystander);
}

TEST(ListenerRobustness, ANinthConnectionWaitsForTheOldestToHaveHadItsGraceAndTakesItsPlace) {
    ListenerHarness computer;
    computer.start();
    std::vector<std::unique_ptr<testing_support::PhoneTestClient>> phones;
    for (int i = 0; i < 8; ++i) {
        phones.push_back(computer.phoneFrom(10 + i, "Phone " + std::to_string(i)));
        phones.back()->connect();
    }
    // Not refused while the others are new: it waits until the oldest has had its chance to speak.
    auto ninth = computer.phoneFrom(30, "Ninth");
    ASSERT_NO_THROW(ninth->connect());
    EXPECT_TRUE(phones.front()->waitForClose(5));
    for (std::size_t i = 1; i < phones.size(); ++i) {
        EXPECT_TRUE(phones[i]->isConnected()) << i;
    }
}

TEST(ListenerRobustness, AConnectionThatNeitherPairsNorOpensASessionIsClosedAtTheHandshakeTimeout) {
    ListenerHarness::Options options;
    options.configuration.handshakeTimeout = 0.5;
    ListenerHarness computer(options);
    computer.start();
    auto idle = computer.phoneFrom(11, "Idle");
    idle->connect();
    const int silent = testing_support::connectTCP("127.0.0.1", computer.endpoint.tcpPort, 5, "127.0.0.12");
    auto paired = computer.sessionPhone("Paired", false);

    EXPECT_TRUE(idle->waitForClose(5));
    std::uint8_t byte;
    EXPECT_TRUE(testing_support::eventually([&] { return ::recv(silent, &byte, 1, MSG_DONTWAIT) == 0; }));
    ::close(silent);
    // The phone with a session stays, long past the timeout.
    EXPECT_FALSE(paired->waitForClose(1.0));
    expectStillServes(computer, *paired);
}

TEST(ListenerRobustness, APhoneThatWaitsBeforeItsFirstTouchKeepsItsDatagramFlow) {
    ListenerHarness::Options options;
    options.configuration.handshakeTimeout = 0.3;
    ListenerHarness computer(options);
    computer.start();
    auto phone = computer.sessionPhone("Patient", false);
    phone->connectDatagrams();
    // Several handshake timeouts pass before the user first touches the trackpad.
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    phone->sendDatagram(Message::Move{2, 1});
    const auto delivered = computer.waitForDelivered(1);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].message, Message(Message::Move{2, 1}));
}

TEST(ListenerRobustness, AConnectionWhosePairingEndedHasTheHandshakeTimeoutAgain) {
    ListenerHarness::Options options;
    options.configuration.handshakeTimeout = 0.5;
    ListenerHarness computer(options);
    computer.start();
    auto pairing = computer.phone("Pairing");
    pairing->connect();
    ASSERT_TRUE(
        std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(pairing->requestPairing()));
    // The user has the whole code lifetime to type the code.
    EXPECT_FALSE(pairing->waitForClose(1.0));

    // Declined, the connection is an idle one again: it must not hold its place for good.
    pairing->cancelPairing();
    EXPECT_TRUE(pairing->waitForClose(5));
}

int runOpenSSLClient(std::uint16_t port, const char* version, std::string& output) {
    const std::string command = "timeout 20 openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                                " " + version + " </dev/null 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    return ::pclose(pipe);
}

TEST(ListenerRobustness, OpenSSLCompletesATLS13HandshakeAndIsRefusedTLS12) {
    ListenerHarness computer;
    computer.start();
    std::string modern;
    EXPECT_EQ(runOpenSSLClient(computer.endpoint.tcpPort, "-tls1_3", modern), 0) << modern;
    EXPECT_NE(modern.find("TLSv1.3"), std::string::npos) << modern;
    EXPECT_NE(modern.find("BEGIN CERTIFICATE"), std::string::npos) << modern;

    std::string old;
    EXPECT_NE(runOpenSSLClient(computer.endpoint.tcpPort, "-tls1_2", old), 0) << old;
    EXPECT_EQ(old.find("BEGIN CERTIFICATE"), std::string::npos) << old;
}

TEST(ListenerRobustness, ADamagedOrNewerListKeepsTheListenerFromStartingAndIsNeverOverwritten) {
    TemporaryFolder folder;
    const auto file = folder / "TrustedDevices.json";
    for (const std::string& contents : {std::string("{\"format\": 1, \"hostID\": \"not a uuid\""),
                                        std::string("{\"format\": 2, \"future\": true}")}) {
        writeText(file, contents);
        auto store = std::make_shared<FileTrustedDeviceStore>(file);
        EXPECT_THROW(
            PairingCoordinator(store, "Computer", {}, [] { return std::chrono::system_clock::now(); }),
            TrustedDeviceStoreError);
        EXPECT_EQ(readText(file), contents);
    }
}

TEST(ListenerRobustness, StopClosesEverythingAndTheListenerStartsAgain) {
    ListenerHarness computer;
    const auto first = computer.start();
    auto phone = computer.sessionPhone("Phone", true);
    phone->sendDatagram(Message::Scroll{0, 4, TrackpadProtocol::ScrollPhase::began, std::nullopt});
    computer.waitForDelivered(1);

    computer.listener->stop();
    EXPECT_TRUE(phone->waitForClose(5));
    EXPECT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return !computer.states.empty() && computer.states.back().is<CompanionListener::State::Stopped>();
    }));
    {
        // The stop flushes the open scroll.
        std::lock_guard lock(computer.mutex);
        ASSERT_EQ(computer.cleanups.size(), 1u);
        EXPECT_TRUE(computer.cleanups[0].message.is<Message::Scroll>());
    }
    EXPECT_TRUE(computer.coordinator->connectedDevices().empty());

    const auto second = computer.start();
    EXPECT_EQ(second.hostID, first.hostID);
    auto returning =
        std::make_unique<testing_support::PhoneTestClient>(computer.endpoint, "Phone", phone->deviceID());
    returning->setPairing(phone->pairing());
    returning->connect();
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(returning->openSession()));
    expectStillServes(computer, *returning);
}

}  // namespace
}  // namespace CompanionNetwork::tests

namespace CompanionNetwork::tests {
namespace {

TEST(ListenerLifeCycle, AdvertisesBothServicesAndWaitsWhileThereIsNoNetwork) {
    // Every interface, but the phone still comes over loopback; the advertiser and the path are fakes.
    ListenerHarness::Options options;
    options.configuration.loopbackOnly = false;
    options.configuration.wakeAddresses = {"3C:22:FB:01:02:0A"};
    ListenerHarness computer(options);
    const auto details = computer.start();
    const auto advertised = computer.loop.call([&] { return computer.advertiser->current(); });
    ASSERT_TRUE(advertised.has_value());
    EXPECT_EQ(advertised->instanceName, "Lumivex Test");
    EXPECT_EQ(advertised->tcpPort, details.tcpPort);
    EXPECT_EQ(advertised->udpPort, details.udpPort);
    EXPECT_EQ(advertised->txt, makeServiceTXT(details.hostID, options.configuration.wakeAddresses));

    computer.loop.call([&] { computer.pathMonitor->setStatus({false, "no network"}); });
    EXPECT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.states.back() ==
               CompanionListener::State{CompanionListener::State::Waiting{"no network"}};
    }));
    computer.loop.call([&] { computer.pathMonitor->setStatus({true, {}}); });
    EXPECT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.states.back() == CompanionListener::State{CompanionListener::State::Ready{details}};
    }));

    computer.listener->stop();
    EXPECT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.states.back().is<CompanionListener::State::Stopped>();
    }));
}

TEST(ListenerLifeCycle, APortInUseMakesTheListenerFail) {
    ListenerHarness first;
    const auto taken = first.start();
    ListenerHarness::Options options;
    options.configuration.tcpPort = taken.tcpPort;
    ListenerHarness second(options);
    second.listener->start();
    EXPECT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(second.mutex);
        return !second.states.empty() && second.states.back().is<CompanionListener::State::Failed>();
    }));
}

}  // namespace
}  // namespace CompanionNetwork::tests
