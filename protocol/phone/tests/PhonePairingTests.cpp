#include "protocol/phone/PhonePairing.h"

#include <gtest/gtest.h>

#include "protocol/security/CPace.h"

namespace TrackpadProtocol {
namespace {

// The computer's side of the exchange, as far as the phone can see it.
struct Computer {
    UUID hostID = UUID::random();
    std::string hostName = "Studio";
    std::array<std::uint8_t, 32> exporter{};
    PairingCode code = *PairingCode::fromDigits("271828");
    std::unique_ptr<CPaceInitiator> cpace;
    PairingToken token = PairingToken::random();

    Message challenge(const UUID& device, std::uint8_t attemptsLeft) {
        cpace = std::make_unique<CPaceInitiator>(code, exporter, hostID, device);
        Message::PairingChallenge c{hostID, hostName, {}, cpace->share(), attemptsLeft};
        std::copy(cpace->sessionID().begin(), cpace->sessionID().end(), c.sessionID.begin());
        return c;
    }
    // The computer's answer to a response: acceptance when the phone's confirmation verifies.
    std::optional<Message> answer(const Message& response, const UUID& device) {
        const auto* r = response.as<Message::PairingResponse>();
        if (r == nullptr || !cpace->receivePeerShare(r->share, device.bytes) ||
            !cpace->verifyPeerConfirmation(r->confirmation)) {
            return std::nullopt;
        }
        return Message::PairingAccepted{token.bytes(), cpace->confirmation()};
    }
};

class PhonePairingTest : public ::testing::Test {
  protected:
    Computer computer;
    UUID deviceID = UUID::random();
    PublicKeyDigest hostKey{};
    std::unique_ptr<PhonePairing> phone;

    void SetUp() override {
        computer.exporter.fill(0x42);
        hostKey.fill(0x17);
        phone = std::make_unique<PhonePairing>(deviceID, "Pocket", computer.exporter, hostKey);
    }
};

TEST_F(PhonePairingTest, RightCodePairsAndYieldsTokenHostAndPin) {
    EXPECT_EQ(phone->request(), Message(Message::PairingRequest{deviceID, "Pocket"}));
    const auto asked = phone->receive(computer.challenge(deviceID, 3));
    ASSERT_TRUE(asked && std::holds_alternative<PhonePairing::CodeNeeded>(*asked));
    const auto& needed = std::get<PhonePairing::CodeNeeded>(*asked);
    EXPECT_EQ(needed.hostID, computer.hostID);
    EXPECT_EQ(needed.hostName, "Studio");
    EXPECT_EQ(needed.attemptsLeft, 3);
    EXPECT_FALSE(needed.afterWrongCode);

    const Message response = phone->respond(computer.code);
    const auto accepted = computer.answer(response, deviceID);
    ASSERT_TRUE(accepted);
    const auto done = phone->receive(*accepted);
    ASSERT_TRUE(done && std::holds_alternative<PhonePairing::Succeeded>(*done));
    const auto& paired = std::get<PhonePairing::Succeeded>(*done);
    EXPECT_TRUE(paired.token == computer.token);
    EXPECT_EQ(paired.hostID, computer.hostID);
    EXPECT_EQ(paired.hostKey, hostKey);
    EXPECT_EQ(phone->state(), PhonePairing::State::paired);
}

TEST_F(PhonePairingTest, WrongCodeThenRightCode) {
    phone->request();
    phone->receive(computer.challenge(deviceID, 3));
    const Message wrong = phone->respond(*PairingCode::fromDigits("271829"));
    EXPECT_FALSE(computer.answer(wrong, deviceID));  // the computer cannot verify a wrong code

    const auto again = phone->receive(computer.challenge(deviceID, 2));
    ASSERT_TRUE(again && std::holds_alternative<PhonePairing::CodeNeeded>(*again));
    EXPECT_TRUE(std::get<PhonePairing::CodeNeeded>(*again).afterWrongCode);
    EXPECT_EQ(std::get<PhonePairing::CodeNeeded>(*again).attemptsLeft, 2);

    const auto accepted = computer.answer(phone->respond(computer.code), deviceID);
    ASSERT_TRUE(accepted);
    const auto done = phone->receive(*accepted);
    EXPECT_TRUE(done && std::holds_alternative<PhonePairing::Succeeded>(*done));
}

TEST_F(PhonePairingTest, AnAcceptanceWithoutTheComputersConfirmationIsRefused) {
    // Someone in the middle of the unverified TLS connection may send an acceptance, but cannot make the
    // confirmation without the code and this channel's exporter value.
    phone->request();
    phone->receive(computer.challenge(deviceID, 3));
    const Message response = phone->respond(computer.code);
    ASSERT_TRUE(computer.answer(response, deviceID));
    const auto done = phone->receive(Message::PairingAccepted{computer.token.bytes(), Bytes32{}});
    ASSERT_TRUE(done && std::holds_alternative<PhonePairing::Failed>(*done));
    EXPECT_EQ(std::get<PhonePairing::Failed>(*done).reason, PhonePairing::Failure::computerNotConfirmed);
    EXPECT_EQ(phone->state(), PhonePairing::State::failed);

    // The same holds for a computer on another channel (a relayed exchange): its exporter differs.
    PhonePairing relayed(deviceID, "Pocket", computer.exporter, hostKey);
    relayed.request();
    Computer elsewhere;
    elsewhere.hostID = computer.hostID;
    elsewhere.exporter = computer.exporter;
    elsewhere.exporter[0] ^= 1;
    relayed.receive(elsewhere.challenge(deviceID, 3));
    const Message relayedResponse = relayed.respond(elsewhere.code);
    EXPECT_FALSE(elsewhere.answer(relayedResponse, deviceID));
}

TEST_F(PhonePairingTest, RejectionsCancelsAndMessagesOutOfTurn) {
    phone->request();
    const auto rejected = phone->receive(Message::PairingRejected{PairingRejection::lockedOut});
    ASSERT_TRUE(rejected && std::holds_alternative<PhonePairing::Failed>(*rejected));
    EXPECT_EQ(std::get<PhonePairing::Failed>(*rejected).rejection, PairingRejection::lockedOut);
    EXPECT_FALSE(phone->receive(computer.challenge(deviceID, 3)));  // over: nothing revives it
    EXPECT_THROW(phone->respond(computer.code), std::logic_error);

    PhonePairing early(deviceID, "Pocket", computer.exporter, hostKey);
    early.request();
    EXPECT_FALSE(early.receive(Message::ControlStatus{}));  // not a pairing message: ignored
    EXPECT_EQ(early.state(), PhonePairing::State::requested);
    const auto outOfTurn = early.receive(Message::PairingAccepted{});
    ASSERT_TRUE(outOfTurn);
    EXPECT_EQ(early.failure(), PhonePairing::Failure::unexpectedMessage);

    PhonePairing cancelled(deviceID, "Pocket", computer.exporter, hostKey);
    cancelled.request();
    cancelled.receive(computer.challenge(deviceID, 3));
    EXPECT_EQ(cancelled.cancel(), Message(Message::PairingCancel{}));
    EXPECT_EQ(cancelled.failure(), PhonePairing::Failure::cancelled);
}

TEST_F(PhonePairingTest, ALowOrderShareInTheChallengeEndsThePairing) {
    phone->request();
    Message challenge = computer.challenge(deviceID, 3);
    std::get<Message::PairingChallenge>(challenge.value).share = Bytes32{};  // the point 0
    phone->receive(challenge);
    EXPECT_EQ(phone->respond(computer.code), Message(Message::PairingCancel{}));
    EXPECT_EQ(phone->failure(), PhonePairing::Failure::invalidChallenge);
}

}  // namespace
}  // namespace TrackpadProtocol
