#include "protocol/phone/PhoneSession.h"

#include <gtest/gtest.h>

#include "protocol/security/DatagramOpener.h"

namespace TrackpadProtocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

class PhoneSessionTest : public ::testing::Test {
  protected:
    UUID deviceID = UUID::random();
    PairingToken token = PairingToken::random();
    DatagramKey key{[] {
                        std::array<std::uint8_t, 32> secret{};
                        secret.fill(0x33);
                        return secret;
                    }(),
                    77};
    PhoneSession session{deviceID, token, true, key};
    const Bytes payload{0x01, 0x10, 0, 0, 0, 0, 0, 0, 0, 0};
};

TEST_F(PhoneSessionTest, RequestAcceptanceAndDatagramsOnlyWhileOpen) {
    EXPECT_FALSE(session.sealDatagram(payload));
    EXPECT_EQ(session.request(), Message(Message::SessionRequest{deviceID, token.bytes(), true}));
    EXPECT_FALSE(session.sealDatagram(payload));  // asked, not yet accepted

    const auto accepted = session.receive(Message::SessionAccepted{HostFeatures::all});
    ASSERT_TRUE(accepted && std::holds_alternative<PhoneSession::Accepted>(*accepted));
    EXPECT_EQ(session.features(), HostFeatures::all);
    EXPECT_TRUE(session.isOpen());

    DatagramOpener opener;
    opener.install(key, "127.0.0.1");
    const auto datagram = session.sealDatagram(payload);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(opener.authenticate(*datagram, "127.0.0.1").counter, 1u);

    session.end();
    EXPECT_FALSE(session.sealDatagram(payload));
    EXPECT_FALSE(session.receive(Message::SessionAccepted{}));
}

TEST_F(PhoneSessionTest, ReopeningOnTheSameConnectionKeepsCounting) {
    DatagramOpener opener;
    opener.install(key, "127.0.0.1");
    session.request();
    session.receive(Message::SessionAccepted{});
    EXPECT_EQ(opener.authenticate(*session.sealDatagram(payload), "127.0.0.1").counter, 1u);
    EXPECT_EQ(opener.authenticate(*session.sealDatagram(payload), "127.0.0.1").counter, 2u);

    session.request();
    EXPECT_FALSE(session.sealDatagram(payload));  // between request and answer nothing goes out
    session.receive(Message::SessionAccepted{});
    opener.install(key, "127.0.0.1");  // the computer installs the same key again
    EXPECT_EQ(opener.authenticate(*session.sealDatagram(payload), "127.0.0.1").counter, 3u);
}

TEST_F(PhoneSessionTest, RejectionsAndUnaskedAnswers) {
    EXPECT_FALSE(session.receive(Message::SessionAccepted{}));  // never asked
    EXPECT_EQ(session.state(), PhoneSession::State::idle);

    session.request();
    const auto refused = session.receive(Message::PairingRejected{PairingRejection::notPaired});
    ASSERT_TRUE(refused && std::holds_alternative<PhoneSession::Refused>(*refused));
    EXPECT_EQ(std::get<PhoneSession::Refused>(*refused).reason, PairingRejection::notPaired);
    EXPECT_FALSE(session.sealDatagram(payload));

    // A session revoked while open stops sealing at once.
    session.request();
    session.receive(Message::SessionAccepted{});
    ASSERT_TRUE(session.sealDatagram(payload));
    session.receive(Message::PairingRejected{PairingRejection::notPaired});
    EXPECT_EQ(session.state(), PhoneSession::State::refused);
    EXPECT_FALSE(session.sealDatagram(payload));
    EXPECT_FALSE(session.receive(Message::ControlStatus{}));
}

TEST_F(PhoneSessionTest, OnlyDatagramMessagesAreSealed) {
    session.request();
    session.receive(Message::SessionAccepted{});
    DatagramOpener opener;
    opener.install(key, "127.0.0.1");
    const auto move = session.sealDatagram(Message(Message::Move{2, 3}));
    ASSERT_TRUE(move);
    EXPECT_EQ(opener.open(*move, "127.0.0.1").message, Message(Message::Move{2, 3}));
    EXPECT_FALSE(session.sealDatagram(Message(Message::Tap{1})));  // goes over TLS
    EXPECT_FALSE(session.sealDatagram(Message(Message::Scroll{0, 1, ScrollPhase::ended, std::nullopt})));
    // A refused message used no counter: the next datagram follows the move directly.
    EXPECT_EQ(opener.open(*session.sealDatagram(Message(Message::Move{1, 1})), "127.0.0.1").counter, 2u);
}

}  // namespace
}  // namespace TrackpadProtocol
