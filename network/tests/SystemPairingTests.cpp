// The coordinator with the real cryptography, against the phone's half of CPace.
#include <gtest/gtest.h>

#include "TrackpadProtocol/CPace.h"
#include "TrackpadProtocol/TLSIdentity.h"
#include "network/tests/CoordinatorHarness.h"

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

}  // namespace
}  // namespace CompanionNetwork
