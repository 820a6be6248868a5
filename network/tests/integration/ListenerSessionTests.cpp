// Pairing, sessions and the two roads of a phone's input, end to end over real TLS 1.3 and DTLS 1.2.
#include <gtest/gtest.h>

#include "network/tests/integration/ListenerHarness.h"

namespace CompanionNetwork::tests {
namespace {

using TrackpadProtocol::PairingRejection;
using TrackpadProtocol::PhonePairing;
using TrackpadProtocol::PhoneSession;

TEST(ListenerSession, PairsWithTheShownCodeAndDeliversADatagramMoveAndATLSTapInOrder) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.phone("Ada's iPhone");
    phone->connect();

    const auto asked = phone->requestPairing();
    ASSERT_TRUE(std::holds_alternative<PhonePairing::CodeNeeded>(asked));
    const auto paired = phone->enterCode(computer.waitForCode());
    ASSERT_TRUE(std::holds_alternative<PhonePairing::Succeeded>(paired));
    EXPECT_EQ(std::get<PhonePairing::Succeeded>(paired).hostID, computer.coordinator->hostID());
    EXPECT_EQ(computer.countEvents<PairingEvent::PairingFinished>(), 1u);
    ASSERT_EQ(computer.coordinator->trustedDevices().size(), 1u);
    EXPECT_EQ(computer.coordinator->trustedDevices()[0].name, "Ada's iPhone");

    const auto session = phone->openSession(true);
    ASSERT_TRUE(std::holds_alternative<PhoneSession::Accepted>(session));
    EXPECT_EQ(std::get<PhoneSession::Accepted>(session).features, TrackpadProtocol::HostFeatures::all);
    // The session opens with the computer's control status.
    EXPECT_TRUE(phone->receiveCase<Message::ControlStatus>(5).has_value());

    phone->connectDatagrams();
    phone->sendDatagram(Message::Move{3.5f, -2.0f});
    // The tap leaves only once the move has been taken, as a phone's later reliable message would.
    ASSERT_EQ(computer.waitForDelivered(1).size(), 1u);
    phone->send(Message::Tap{1});
    const std::vector<Delivered> delivered = computer.waitForDelivered(2);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].message, Message(Message::Move{3.5f, -2.0f}));
    EXPECT_EQ(delivered[1].message, Message(Message::Tap{1}));
    EXPECT_EQ(delivered[0].device, phone->deviceID());
    EXPECT_EQ(delivered[1].device, phone->deviceID());
}

TEST(ListenerSession, APairedPhoneComesBackOnANewConnectionPinnedToTheComputersKey) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Returning iPhone", false);
    phone->disconnect();

    phone->connect();  // pinned now
    ASSERT_TRUE(std::holds_alternative<PhoneSession::Accepted>(phone->openSession()));
    phone->connectDatagrams();
    phone->sendDatagram(Message::Move{1, 1});
    EXPECT_EQ(computer.waitForDelivered(1).size(), 1u);
    EXPECT_TRUE(computer.coordinator->trustedDevices()[0].lastConnectedAt.has_value());
}

TEST(ListenerSession, ATokenThatDoesNotMatchOpensNoSession) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Real iPhone", false);

    auto impostor =
        std::make_unique<testing_support::PhoneTestClient>(computer.endpoint, "Impostor", phone->deviceID());
    impostor->connect();
    TrackpadProtocol::PairingToken::Bytes guessed{};
    guessed.fill(0x42);
    const auto refused = impostor->openSession(false, TrackpadProtocol::PairingToken(guessed));
    ASSERT_TRUE(std::holds_alternative<PhoneSession::Refused>(refused));
    EXPECT_EQ(std::get<PhoneSession::Refused>(refused).reason, PairingRejection::notPaired);

    // Without a session a message that needs one is answered with the not-paired rejection.
    impostor->send(Message::Tap{1});
    const auto rejected = impostor->receiveCase<Message::PairingRejected>(5);
    ASSERT_TRUE(rejected.has_value());
    EXPECT_EQ(rejected->reason, PairingRejection::notPaired);
    EXPECT_EQ(computer.deliveredCount(), 0u);
}

TEST(ListenerSession, ThreeWrongCodesLockPairingOutAndLaterRequestsAreRefusedDuringTheLockout) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.phone();
    phone->connect();
    ASSERT_TRUE(std::holds_alternative<PhonePairing::CodeNeeded>(phone->requestPairing()));
    const std::string right = computer.waitForCode();
    const std::string wrong = right == "000000" ? "111111" : "000000";

    auto first = phone->enterCode(wrong);
    ASSERT_TRUE(std::holds_alternative<PhonePairing::CodeNeeded>(first));
    EXPECT_TRUE(std::get<PhonePairing::CodeNeeded>(first).afterWrongCode);
    ASSERT_TRUE(std::holds_alternative<PhonePairing::CodeNeeded>(phone->enterCode(wrong)));
    const auto third = phone->enterCode(wrong);
    ASSERT_TRUE(std::holds_alternative<PhonePairing::Failed>(third));
    EXPECT_EQ(std::get<PhonePairing::Failed>(third).rejection, PairingRejection::lockedOut);
    {
        std::lock_guard lock(computer.mutex);
        bool lockout = false;
        for (const PairingEvent& event : computer.events) {
            if (const auto* finished = event.as<PairingEvent::PairingFinished>()) {
                lockout = finished->outcome == PairingOutcome::wrongCodeLockout();
            }
        }
        EXPECT_TRUE(lockout);
    }

    auto other = computer.phone("Other iPhone");
    other->connect();
    const auto refused = other->requestPairing();
    ASSERT_TRUE(std::holds_alternative<PhonePairing::Failed>(refused));
    EXPECT_EQ(std::get<PhonePairing::Failed>(refused).rejection, PairingRejection::lockedOut);
    EXPECT_TRUE(computer.coordinator->trustedDevices().empty());
}

TEST(ListenerSession, MoreThanTenPairingRequestsInAMinuteAreRefused) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.phone();
    phone->connect();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(std::holds_alternative<PhonePairing::CodeNeeded>(phone->requestPairing())) << i;
    }
    const auto eleventh = phone->requestPairing();
    ASSERT_TRUE(std::holds_alternative<PhonePairing::Failed>(eleventh));
    EXPECT_EQ(std::get<PhonePairing::Failed>(eleventh).rejection, PairingRejection::rateLimited);
}

TEST(ListenerSession, AnExpiredCodeEndsThePairingAndTellsThePhone) {
    ListenerHarness::Options options;
    options.pairing.codeLifetime = 0.3;
    ListenerHarness computer(options);
    computer.start();
    auto phone = computer.phone();
    phone->connect();
    ASSERT_TRUE(std::holds_alternative<PhonePairing::CodeNeeded>(phone->requestPairing()));
    // Nothing is sent: the listener's own timer ends the pairing.
    const auto rejected = phone->receiveCase<Message::PairingRejected>(5);
    ASSERT_TRUE(rejected.has_value());
    EXPECT_EQ(rejected->reason, PairingRejection::expired);
    EXPECT_EQ(computer.countEvents<PairingEvent::PairingFinished>(), 1u);
}

TEST(ListenerSession, CancellingThePairingTellsThePhoneItWasDeclined) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.phone();
    phone->connect();
    ASSERT_TRUE(std::holds_alternative<PhonePairing::CodeNeeded>(phone->requestPairing()));
    computer.waitForCode();
    computer.listener->cancelPairing();
    const auto rejected = phone->receiveCase<Message::PairingRejected>(5);
    ASSERT_TRUE(rejected.has_value());
    EXPECT_EQ(rejected->reason, PairingRejection::declined);
    EXPECT_FALSE(computer.coordinator->pendingPairing().has_value());
}

}  // namespace
}  // namespace CompanionNetwork::tests
