// The coordinator with the real cryptography, against the phone's half of CPace.
#include <gtest/gtest.h>

#include "network/tests/CoordinatorHarness.h"
#include "protocol/phone/PhonePairing.h"
#include "protocol/security/CPace.h"
#include "protocol/security/TLSIdentity.h"

namespace CompanionNetwork {
namespace {

using namespace tests;
using M = TrackpadProtocol::Message;
using TrackpadProtocol::CPaceResponder;

struct Phone {
    UUID id = UUID::random();
    Bytes32 exporter = filled(0x5A);

    // Answers the challenge with the given code, as the phone's user typed it.
    M respond(const M::PairingChallenge& challenge, std::string_view digits) {
        responder = std::make_unique<CPaceResponder>(*PairingCode::fromDigits(digits), exporter,
                                                     challenge.hostID, id, challenge.sessionID);
        EXPECT_TRUE(responder->receivePeerShare(challenge.share, challenge.hostID.bytes));
        return M::PairingResponse{responder->share(), responder->confirmation()};
    }
    std::unique_ptr<CPaceResponder> responder;
};

TEST(SystemPairing, RealExchangeWrongThenRightCode) {
    auto store = std::make_shared<InMemoryTrustedDeviceStore>();
    Date now = referenceDate();
    PairingCoordinator coordinator(store, "Studio", {}, [&] { return now; });
    TrackpadProtocol::TLSIdentity identity(coordinator.hostID(),
                                           coordinator.tlsPrivateKey());  // a usable key

    Phone phone;
    PairingCoordinator::ConnectionContext context{TrackpadProtocol::Transport::reliable, phone.exporter};
    auto ask = [&](const M& message) { return coordinator.decide(ConnectionID{1}, message, context); };

    Action first = ask(M::PairingRequest{phone.id, "Phone"});
    auto challenge = *first.as<Action::Reply>()->message.as<M::PairingChallenge>();
    std::string code(coordinator.pendingPairing()->code.digits());
    std::string wrong = code;
    wrong[0] = wrong[0] == '9' ? '0' : static_cast<char>(wrong[0] + 1);

    Action retry = ask(phone.respond(challenge, wrong));
    auto second = *retry.as<Action::Reply>()->message.as<M::PairingChallenge>();
    EXPECT_NE(second.sessionID, challenge.sessionID) << "a fresh run after a wrong code";
    EXPECT_NE(second.share, challenge.share);
    EXPECT_EQ(second.attemptsLeft, 2);

    // The right code over another TLS channel (a relay) fails too.
    Phone relayed;
    relayed.id = phone.id;
    relayed.exporter = filled(0x5B);
    Action relayedRetry = ask(relayed.respond(second, code));
    auto third = *relayedRetry.as<Action::Reply>()->message.as<M::PairingChallenge>();
    EXPECT_EQ(third.attemptsLeft, 1);

    Action accepted = ask(phone.respond(third, code));
    const auto* message = accepted.as<Action::Reply>()->message.as<M::PairingAccepted>();
    ASSERT_TRUE(message);
    EXPECT_TRUE(phone.responder->verifyPeerConfirmation(message->confirmation))
        << "the phone can trust the computer";
    EXPECT_EQ(store->stored()->devices.at(0).tokenDigest, PairingToken(message->token).digest());

    Action session =
        coordinator.decide(ConnectionID{2}, M::SessionRequest{phone.id, message->token, true}, {});
    EXPECT_EQ(session.openedSession, phone.id);
}

// The protocol library's own phone half against the coordinator: one wrong code, then the right one.
TEST(SystemPairing, PhoneHalfPairsAndOpensASession) {
    using TrackpadProtocol::PhonePairing;
    auto store = std::make_shared<InMemoryTrustedDeviceStore>();
    PairingCoordinator coordinator(store, "Studio", {}, [] { return referenceDate(); });
    TrackpadProtocol::TLSIdentity identity(coordinator.hostID(), coordinator.tlsPrivateKey());
    const Bytes32 exporter = filled(0x77);
    PairingCoordinator::ConnectionContext context{TrackpadProtocol::Transport::reliable, exporter};
    auto computer = [&](const M& message) {
        Action action = coordinator.decide(ConnectionID{1}, message, context);
        return action.as<Action::Reply>()->message;
    };

    UUID phoneID = UUID::random();
    PhonePairing phone(phoneID, "Phone", exporter, identity.publicKeyDigest());
    auto event = phone.receive(computer(phone.request()));
    ASSERT_TRUE(event && std::holds_alternative<PhonePairing::CodeNeeded>(*event));

    std::string code(coordinator.pendingPairing()->code.digits());
    std::string wrong = code == "000000" ? "111111" : "000000";
    event = phone.receive(computer(phone.respond(*PairingCode::fromDigits(wrong))));
    ASSERT_TRUE(event && std::holds_alternative<PhonePairing::CodeNeeded>(*event));
    EXPECT_TRUE(std::get<PhonePairing::CodeNeeded>(*event).afterWrongCode);
    EXPECT_EQ(std::get<PhonePairing::CodeNeeded>(*event).attemptsLeft, 2);

    event = phone.receive(computer(phone.respond(*PairingCode::fromDigits(code))));
    ASSERT_TRUE(event && std::holds_alternative<PhonePairing::Succeeded>(*event));
    const auto& paired = std::get<PhonePairing::Succeeded>(*event);
    EXPECT_EQ(paired.hostID, coordinator.hostID());
    EXPECT_EQ(paired.hostName, "Studio");

    Action session =
        coordinator.decide(ConnectionID{1}, M::SessionRequest{phoneID, paired.token.bytes(), false}, {});
    EXPECT_EQ(session.openedSession, phoneID);
}

}  // namespace
}  // namespace CompanionNetwork
