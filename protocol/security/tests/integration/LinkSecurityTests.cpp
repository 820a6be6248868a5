// The link's security end to end over real sockets on 127.0.0.1, with the phone's halves of the
// protocol library: a first TLS 1.3 connection pairs (PhonePairing against CPace on the computer side,
// bound to that connection), a second connection, pinned to the key learned while pairing, opens a
// session (PhoneSession) and runs an unlock request (PhoneUnlockFlow), and messages sealed under the
// key both sides export cross a pinned DTLS 1.2 connection to the computer's DatagramOpener.
//
// The computer's side stands in for the companion's listener and coordinator: it runs on its own
// thread with blocking sockets; the phone's side runs on the test's thread.
#include <gtest/gtest.h>

#include <future>

#include "LoopbackLink.h"
#include "protocol/phone/PhonePairing.h"
#include "protocol/phone/PhoneSession.h"
#include "protocol/phone/PhoneUnlockFlow.h"
#include "protocol/security/CPace.h"
#include "protocol/security/DatagramOpener.h"
#include "protocol/security/TLSContext.h"

namespace TrackpadProtocol {
namespace {

using loopback::Bytes;
using loopback::MessageChannel;
using Reason = DatagramOpener::Failure::Reason;

struct Accepted {
    loopback::Socket socket;
    loopback::Connection tls;
    std::string peerHost;
};

struct Connected {
    loopback::Socket socket;
    loopback::Connection tls;
};

struct ComputerPairing {
    bool phoneConfirmed = false;
    std::optional<PairingToken::Digest> storedDigest;
    int challenges = 0;
};

struct DatagramOutcome {
    std::vector<Message> opened;   // in arrival order
    std::vector<Reason> refusals;  // in arrival order
    std::string flowHost;
};

class LinkSecurity : public ::testing::Test {
  protected:
    const UUID hostID = UUID::random();
    const UUID deviceID = UUID::random();
    const TLSIdentity identity{hostID, TLSIdentity::generatePrivateKey()};
    const SSLContext tlsServer = makeTLSServerContext(identity);
    const SSLContext dtlsServer = makeDTLSServerContext(identity);
    loopback::Socket tcpListener = loopback::bindLoopback(SOCK_STREAM);
    loopback::Socket udpSocket = loopback::bindLoopback(SOCK_DGRAM);
    const PairingCode code = PairingCode::random();

    // ---- the computer's side ----------------------------------------------------------------------

    Accepted acceptTLS() {
        Accepted accepted;
        accepted.socket = loopback::acceptOne(tcpListener);
        accepted.peerHost = loopback::peerHost(accepted.socket.fd());
        accepted.tls.reset(SSL_new(tlsServer.get()));
        SSL_set_fd(accepted.tls.get(), accepted.socket.fd());
        if (SSL_accept(accepted.tls.get()) != 1) {
            throw std::runtime_error("TLS accept failed");
        }
        return accepted;
    }

    // Pairing as the coordinator runs it: a challenge per attempt, an acceptance with the computer's own
    // confirmation once the phone's verifies, a fresh challenge after a wrong code. With
    // `acceptAfterWrongCodes` set, it plays a computer that sends an acceptance after that many wrong
    // codes all the same, to watch the phone refuse it.
    ComputerPairing computerPairs(std::optional<int> acceptAfterWrongCodes) {
        Accepted connection = acceptTLS();
        MessageChannel channel(connection.tls.get());
        const auto exporter = exportPairingSecret(connection.tls.get());
        const Message request = channel.receive();
        const UUID phoneID = request.as<Message::PairingRequest>()->deviceID;
        ComputerPairing outcome;
        for (int wrongCodes = 0;; ++wrongCodes) {
            CPaceInitiator cpace(code, exporter, hostID, phoneID);
            Message::PairingChallenge challenge{
                hostID, "Test Computer", {}, cpace.share(), static_cast<std::uint8_t>(3 - wrongCodes)};
            std::copy(cpace.sessionID().begin(), cpace.sessionID().end(), challenge.sessionID.begin());
            channel.send(challenge);
            ++outcome.challenges;
            const Message answer = channel.receive();
            const auto* response = answer.as<Message::PairingResponse>();
            if (response == nullptr) {
                return outcome;  // the phone gave up
            }
            outcome.phoneConfirmed = cpace.receivePeerShare(response->share, phoneID.bytes) &&
                                     cpace.verifyPeerConfirmation(response->confirmation);
            const bool rogue = acceptAfterWrongCodes && wrongCodes == *acceptAfterWrongCodes;
            if (outcome.phoneConfirmed || rogue) {
                const PairingToken token = PairingToken::random();
                if (outcome.phoneConfirmed) {
                    outcome.storedDigest = token.digest();
                }
                // A failed exchange has no key; the rogue computer sends what it has.
                const CPace::Tag tag = cpace.hasSessionKey() ? cpace.confirmation() : CPace::Tag{};
                channel.send(Message::PairingAccepted{token.bytes(), tag});
                channel.waitForClose();
                return outcome;
            }
        }
    }

    // A session as the coordinator opens one, then one unlock request answered `notAllowed`. Installs
    // the connection's datagram key for the connection's host.
    void computerServesSession(const PairingToken::Digest& storedDigest, DatagramOpener& opener,
                               Accepted& connection) {
        connection = acceptTLS();
        MessageChannel channel(connection.tls.get());
        const Message request = channel.receive();
        const auto* session = request.as<Message::SessionRequest>();
        if (session == nullptr || !PairingToken(session->token).matches(storedDigest)) {
            channel.send(Message::PairingRejected{PairingRejection::notPaired});
            return;
        }
        opener.install(exportDatagramKey(connection.tls.get()), connection.peerHost);
        channel.send(Message::SessionAccepted{HostFeatures::all});
        channel.send(Message::ControlStatus{ControlStatus::ready});
        const Message unlock = channel.receive();
        channel.send(Message::UnlockResult{
            {unlock.as<Message::UnlockRequest>()->request.number, UnlockResult::Status::notAllowed}});
    }

    // The DTLS side: stateless cookie exchange, one connected flow, `count` datagrams opened.
    DatagramOutcome computerReceives(DatagramOpener& opener, int count) {
        loopback::Connection dtls(SSL_new(dtlsServer.get()));
        BIO* bio = BIO_new_dgram(udpSocket.fd(), BIO_NOCLOSE);
        SSL_set_bio(dtls.get(), bio, bio);
        BIO_ADDR* client = BIO_ADDR_new();
        // 0 means a hello without a valid cookie was answered with a cookie request; the phone's second
        // hello follows. The bound only keeps a broken exchange from spinning.
        int listened = 0;
        for (int attempt = 0; attempt < 8 && listened == 0; ++attempt) {
            listened = DTLSv1_listen(dtls.get(), client);
        }
        if (listened <= 0) {
            BIO_ADDR_free(client);
            throw std::runtime_error("DTLSv1_listen failed");
        }
        DatagramOutcome outcome;
        char* host = BIO_ADDR_hostname_string(client, 1);
        outcome.flowHost = host;
        OPENSSL_free(host);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = BIO_ADDR_rawport(client);
        std::size_t length = sizeof(peer.sin_addr);
        BIO_ADDR_rawaddress(client, &peer.sin_addr, &length);
        ::connect(udpSocket.fd(), reinterpret_cast<sockaddr*>(&peer), sizeof(peer));
        BIO_ctrl_set_connected(bio, client);
        BIO_ADDR_free(client);
        if (SSL_accept(dtls.get()) != 1) {
            throw std::runtime_error("DTLS accept failed");
        }
        for (int i = 0; i < count; ++i) {
            const Bytes datagram = loopback::readDatagram(dtls.get());
            try {
                outcome.opened.push_back(opener.open(datagram, outcome.flowHost).message);
            } catch (const DatagramOpener::Failure& failure) {
                outcome.refusals.push_back(failure.reason());
            }
        }
        return outcome;
    }

    // ---- the phone's side -------------------------------------------------------------------------

    Connected connectTLS(const std::optional<PublicKeyDigest>& pin) {
        Connected connected;
        connected.socket = loopback::connectLoopback(SOCK_STREAM, loopback::localPort(tcpListener.fd()));
        const SSLContext context = makeTLSClientContext(pin);
        connected.tls.reset(SSL_new(context.get()));
        SSL_set_fd(connected.tls.get(), connected.socket.fd());
        if (SSL_connect(connected.tls.get()) != 1) {
            throw std::runtime_error("TLS connect failed");
        }
        return connected;
    }

    // Pairs on a fresh unpinned connection, typing the given codes one after another.
    std::vector<PhonePairing::Event> phonePairs(const std::vector<PairingCode>& typed) {
        Connected connection = connectTLS(std::nullopt);
        MessageChannel channel(connection.tls.get());
        PhonePairing pairing(deviceID, "Test Phone", exportPairingSecret(connection.tls.get()),
                             *peerPublicKeyDigest(connection.tls.get()));
        channel.send(pairing.request());
        std::vector<PhonePairing::Event> events;
        std::size_t next = 0;
        while (pairing.state() != PhonePairing::State::paired &&
               pairing.state() != PhonePairing::State::failed) {
            const auto event = pairing.receive(channel.receive());
            if (!event) {
                continue;
            }
            events.push_back(*event);
            if (std::holds_alternative<PhonePairing::CodeNeeded>(*event)) {
                channel.send(next < typed.size() ? pairing.respond(typed[next++]) : pairing.cancel());
            }
        }
        return events;
    }

    Connected connectDTLS(const PublicKeyDigest& pin, const loopback::Socket& udp) {
        Connected connected;
        const SSLContext context = makeDTLSClientContext(pin);
        connected.tls.reset(SSL_new(context.get()));
        BIO* bio = BIO_new_dgram(udp.fd(), BIO_NOCLOSE);
        const sockaddr_in server = loopback::loopbackAddress(loopback::localPort(udpSocket.fd()));
        BIO_ADDR* serverAddress = BIO_ADDR_new();
        BIO_ADDR_rawmake(serverAddress, AF_INET, &server.sin_addr, sizeof(server.sin_addr), server.sin_port);
        BIO_ctrl_set_connected(bio, serverAddress);
        BIO_ADDR_free(serverAddress);
        SSL_set_bio(connected.tls.get(), bio, bio);
        if (SSL_connect(connected.tls.get()) != 1) {
            throw std::runtime_error("DTLS connect failed");
        }
        return connected;
    }
};

template <typename T>
const T* eventAs(const std::vector<PhonePairing::Event>& events, std::size_t index) {
    return index < events.size() ? std::get_if<T>(&events[index]) : nullptr;
}

TEST_F(LinkSecurity, PairsThenOpensASessionAndSealedMessagesCrossDTLS) {
    DatagramOpener opener;
    Accepted sessionConnection;
    constexpr int datagrams = 7;
    auto computer = std::async(std::launch::async, [&] {
        const ComputerPairing pairing = computerPairs(std::nullopt);
        if (!pairing.storedDigest) {
            return std::make_pair(pairing, DatagramOutcome{});
        }
        computerServesSession(*pairing.storedDigest, opener, sessionConnection);
        return std::make_pair(pairing, computerReceives(opener, datagrams));
    });

    // Pairing on the first connection.
    const std::vector<PhonePairing::Event> events = phonePairs({code});
    ASSERT_EQ(events.size(), 2u);
    ASSERT_TRUE(eventAs<PhonePairing::CodeNeeded>(events, 0));
    EXPECT_EQ(eventAs<PhonePairing::CodeNeeded>(events, 0)->hostName, "Test Computer");
    const auto* paired = eventAs<PhonePairing::Succeeded>(events, 1);
    ASSERT_TRUE(paired);
    EXPECT_EQ(paired->hostID, hostID);
    EXPECT_EQ(paired->hostKey, identity.publicKeyDigest());

    // A session on a second connection, pinned to what pairing taught the phone.
    Connected connection = connectTLS(paired->hostKey);
    MessageChannel channel(connection.tls.get());
    PhoneSession session(deviceID, paired->token, true, exportDatagramKey(connection.tls.get()));
    channel.send(session.request());
    const auto accepted = session.receive(channel.receive());
    ASSERT_TRUE(accepted && std::holds_alternative<PhoneSession::Accepted>(*accepted));
    EXPECT_EQ(session.features(), HostFeatures::all);
    EXPECT_EQ(channel.receive(), Message(Message::ControlStatus{ControlStatus::ready}));

    PhoneUnlockFlow unlock;
    std::optional<UnlockResult> unlockResult;
    channel.send(unlock.request("correct horse", [&](const UnlockResult& r) { unlockResult = r; }));
    EXPECT_TRUE(unlock.receive(channel.receive()));
    ASSERT_TRUE(unlockResult);
    EXPECT_EQ(unlockResult->status, UnlockResult::Status::notAllowed);

    // Datagrams through DTLS, pinned like the TLS connection.
    loopback::Socket udp = loopback::connectLoopback(SOCK_DGRAM, loopback::localPort(udpSocket.fd()));
    Connected dtls = connectDTLS(paired->hostKey, udp);
    EXPECT_EQ(SSL_version(dtls.tls.get()), DTLS1_2_VERSION);
    const Message move = Message::Move{3.5f, -1.25f};
    const Message scroll = Message::Scroll{0, 12, ScrollPhase::changed, ScrollStamp{7, 1}};
    const Message probe = Message::Probe{41, true};
    const Bytes first = *session.sealDatagram(move);
    Bytes forged = *session.sealDatagram(move);
    forged[DatagramFormat::headerSize] ^= 0x01;
    const Bytes tap = *session.sealDatagram(MessageCodec::encode(Message::Tap{1}));  // bypasses the check
    for (const Bytes& datagram : {first, *session.sealDatagram(scroll), *session.sealDatagram(probe), first,
                                  forged, tap, *session.sealDatagram(Message(Message::Move{1, 1}))}) {
        loopback::writeRecord(dtls.tls.get(), datagram);
    }

    const auto [pairing, outcome] = computer.get();
    EXPECT_TRUE(pairing.phoneConfirmed);
    EXPECT_EQ(sessionConnection.peerHost, "127.0.0.1");
    EXPECT_EQ(outcome.flowHost, "127.0.0.1");
    EXPECT_EQ(outcome.opened, (std::vector<Message>{move, scroll, probe, Message::Move{1, 1}}));
    EXPECT_EQ(outcome.refusals,
              (std::vector<Reason>{Reason::replayed, Reason::badTag, Reason::wrongTransport}));
}

TEST_F(LinkSecurity, WrongCodeFailsConfirmationOnBothSides) {
    // The computer counts the first wrong code and challenges again; after the second it plays a
    // computer that accepts anyway. The phone must refuse that acceptance and keep nothing.
    auto computer = std::async(std::launch::async, [&] { return computerPairs(1); });
    const PairingCode wrong = *PairingCode::fromDigits(code.digits() == "000000" ? "000001" : "000000");
    const std::vector<PhonePairing::Event> events = phonePairs({wrong, wrong});
    const ComputerPairing pairing = computer.get();

    EXPECT_FALSE(pairing.phoneConfirmed);
    EXPECT_FALSE(pairing.storedDigest);
    EXPECT_EQ(pairing.challenges, 2);
    ASSERT_EQ(events.size(), 3u);
    ASSERT_TRUE(eventAs<PhonePairing::CodeNeeded>(events, 1));
    EXPECT_TRUE(eventAs<PhonePairing::CodeNeeded>(events, 1)->afterWrongCode);
    EXPECT_EQ(eventAs<PhonePairing::CodeNeeded>(events, 1)->attemptsLeft, 2);
    const auto* failed = eventAs<PhonePairing::Failed>(events, 2);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->reason, PhonePairing::Failure::computerNotConfirmed);
}

}  // namespace
}  // namespace TrackpadProtocol
