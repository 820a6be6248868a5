// The link's security end to end over real sockets on 127.0.0.1: the computer's TLS 1.3 server and the
// phone's client, CPace bound to that TLS connection, the datagram key both export, and sealed
// datagrams through a DTLS 1.2 connection. The computer side runs on its own thread with blocking
// sockets; the phone side runs on the test's thread.
#include <gtest/gtest.h>

#include <future>

#include "LoopbackLink.h"
#include "TrackpadProtocol/CPace.h"
#include "TrackpadProtocol/DatagramOpener.h"
#include "TrackpadProtocol/DatagramSealer.h"
#include "TrackpadProtocol/TLSContext.h"

namespace TrackpadProtocol {
namespace {

using loopback::Bytes;
using Reason = DatagramOpener::Failure::Reason;

Bytes concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
    Bytes out;
    for (auto part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

struct PairingOutcome {
    bool peerConfirmed = false;
    CPace::SessionKey sessionKey{};
    DatagramKey datagramKey;
    std::string peerHost;
};

struct DatagramOutcome {
    std::vector<Bytes> payloads;   // opened in arrival order
    std::vector<Reason> refusals;  // refused in arrival order
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

    // The computer: TLS accept, then the initiator's side of CPace over the stream (device id in,
    // session id and share out, phone share and tag in, own tag out, sent even when the phone's tag
    // failed so the test can watch the phone refuse it).
    PairingOutcome computerPairs(const PairingCode& code, loopback::Connection& tls) {
        loopback::Socket connection = loopback::acceptOne(tcpListener);
        tls.reset(SSL_new(tlsServer.get()));
        SSL_set_fd(tls.get(), connection.fd());
        if (SSL_accept(tls.get()) != 1) {
            throw std::runtime_error("TLS accept failed");
        }
        PairingOutcome outcome;
        outcome.peerHost = loopback::peerHost(connection.fd());
        const Bytes phoneDevice = loopback::readExactly(tls.get(), 16);
        const auto exporter = exportPairingSecret(tls.get());
        UUID device;
        std::copy(phoneDevice.begin(), phoneDevice.end(), device.bytes.begin());
        CPaceInitiator initiator(code, exporter, hostID, device);
        loopback::writeRecord(tls.get(), concat({initiator.sessionID(), initiator.share()}));
        const Bytes response = loopback::readExactly(tls.get(), 64);
        const std::span<const std::uint8_t> responseView(response);
        if (initiator.receivePeerShare(responseView.first(32), device.bytes)) {
            outcome.peerConfirmed = initiator.verifyPeerConfirmation(responseView.subspan(32));
            outcome.sessionKey = initiator.intermediateSessionKey();
            loopback::writeRecord(tls.get(), concat({initiator.confirmation()}));
        }
        outcome.datagramKey = exportDatagramKey(tls.get());
        // Keep the socket open until the phone is done reading: the SSL holds the descriptor.
        connectionKeeper = std::move(connection);
        return outcome;
    }

    // The computer's DTLS side: stateless cookie exchange, then one connected flow; opens `count`
    // datagrams with the opener.
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
                const auto opened = opener.authenticate(datagram, outcome.flowHost);
                outcome.payloads.emplace_back(opened.payload.begin(), opened.payload.end());
            } catch (const DatagramOpener::Failure& failure) {
                outcome.refusals.push_back(failure.reason());
            }
        }
        return outcome;
    }

    struct PhoneSide {
        loopback::Socket socket;
        loopback::Connection tls;
        bool computerConfirmed = false;
        CPace::SessionKey sessionKey{};
        std::optional<PublicKeyDigest> pinned;
        DatagramKey datagramKey;
    };

    // The phone: unpinned TLS client, the responder's side of CPace, and the pin once it is confirmed.
    PhoneSide phonePairs(const PairingCode& code) {
        PhoneSide phone;
        phone.socket = loopback::connectLoopback(SOCK_STREAM, loopback::localPort(tcpListener.fd()));
        const SSLContext context = makeTLSClientContext(std::nullopt);
        phone.tls.reset(SSL_new(context.get()));
        SSL_set_fd(phone.tls.get(), phone.socket.fd());
        if (SSL_connect(phone.tls.get()) != 1) {
            throw std::runtime_error("TLS connect failed");
        }
        loopback::writeRecord(phone.tls.get(), Bytes(deviceID.bytes.begin(), deviceID.bytes.end()));
        const Bytes challenge = loopback::readExactly(phone.tls.get(), 48);
        const std::span<const std::uint8_t> challengeView(challenge);
        CPaceResponder responder(code, exportPairingSecret(phone.tls.get()), hostID, deviceID,
                                 challengeView.first(16));
        if (!responder.receivePeerShare(challengeView.subspan(16), hostID.bytes)) {
            throw std::runtime_error("computer share refused");
        }
        loopback::writeRecord(phone.tls.get(), concat({responder.share(), responder.confirmation()}));
        const Bytes computerTag = loopback::readExactly(phone.tls.get(), 32);
        phone.computerConfirmed = responder.verifyPeerConfirmation(computerTag);
        phone.sessionKey = responder.intermediateSessionKey();
        if (phone.computerConfirmed) {
            phone.pinned = peerPublicKeyDigest(phone.tls.get());
        }
        phone.datagramKey = exportDatagramKey(phone.tls.get());
        return phone;
    }

    loopback::Socket connectionKeeper;
};

TEST_F(LinkSecurity, RightCodePairsAndSealedDatagramsCrossDTLS) {
    const PairingCode code = PairingCode::random();
    loopback::Connection computerTLS;
    auto computer = std::async(std::launch::async, [&] { return computerPairs(code, computerTLS); });
    PhoneSide phone = phonePairs(code);
    const PairingOutcome pairing = computer.get();

    EXPECT_TRUE(pairing.peerConfirmed);
    EXPECT_TRUE(phone.computerConfirmed);
    EXPECT_EQ(pairing.sessionKey, phone.sessionKey);
    ASSERT_EQ(phone.pinned, identity.publicKeyDigest());
    EXPECT_TRUE(pairing.datagramKey == phone.datagramKey);
    EXPECT_EQ(pairing.peerHost, "127.0.0.1");

    DatagramOpener opener;
    opener.install(pairing.datagramKey, pairing.peerHost);
    constexpr int sent = 6;
    auto received = std::async(std::launch::async, [&] { return computerReceives(opener, sent); });

    // The phone's DTLS client is pinned to the key it learned while pairing.
    loopback::Socket udp = loopback::connectLoopback(SOCK_DGRAM, loopback::localPort(udpSocket.fd()));
    const SSLContext dtlsClient = makeDTLSClientContext(phone.pinned);
    loopback::Connection dtls(SSL_new(dtlsClient.get()));
    BIO* bio = BIO_new_dgram(udp.fd(), BIO_NOCLOSE);
    const sockaddr_in server = loopback::loopbackAddress(loopback::localPort(udpSocket.fd()));
    BIO_ADDR* serverAddress = BIO_ADDR_new();
    BIO_ADDR_rawmake(serverAddress, AF_INET, &server.sin_addr, sizeof(server.sin_addr), server.sin_port);
    BIO_ctrl_set_connected(bio, serverAddress);
    BIO_ADDR_free(serverAddress);
    SSL_set_bio(dtls.get(), bio, bio);
    ASSERT_EQ(SSL_connect(dtls.get()), 1);
    EXPECT_EQ(SSL_version(dtls.get()), DTLS1_2_VERSION);

    DatagramSealer sealer(phone.datagramKey);
    const Bytes first = sealer.seal(Bytes{0x01, 0x10, 1});
    const Bytes second = sealer.seal(Bytes{0x01, 0x10, 2});
    Bytes forged = sealer.seal(Bytes{0x01, 0x10, 3});
    forged[20] ^= 0x40;
    DatagramKey otherSession = phone.datagramKey;
    otherSession.secret[0] ^= 1;
    DatagramSealer strangerSealer(otherSession);  // right key id, wrong key
    for (const Bytes& datagram : {first, second, first, forged, strangerSealer.seal(Bytes{0x01, 0x10, 4}),
                                  sealer.seal(Bytes{0x01, 0x10, 5})}) {
        loopback::writeRecord(dtls.get(), datagram);
    }
    const DatagramOutcome outcome = received.get();
    EXPECT_EQ(outcome.flowHost, "127.0.0.1");
    EXPECT_EQ(outcome.payloads, (std::vector<Bytes>{{0x01, 0x10, 1}, {0x01, 0x10, 2}, {0x01, 0x10, 5}}));
    EXPECT_EQ(outcome.refusals, (std::vector<Reason>{Reason::replayed, Reason::badTag, Reason::badTag}));
}

TEST_F(LinkSecurity, WrongCodeFailsConfirmationOnBothSides) {
    const PairingCode code = *PairingCode::fromDigits("314159");
    const PairingCode typo = *PairingCode::fromDigits("314195");
    loopback::Connection computerTLS;
    auto computer = std::async(std::launch::async, [&] { return computerPairs(code, computerTLS); });
    PhoneSide phone = phonePairs(typo);
    const PairingOutcome pairing = computer.get();

    EXPECT_FALSE(pairing.peerConfirmed);
    EXPECT_FALSE(phone.computerConfirmed);
    EXPECT_NE(pairing.sessionKey, phone.sessionKey);
    EXPECT_FALSE(phone.pinned.has_value());
    // The TLS channel itself is fine; only the pairing failed.
    EXPECT_TRUE(pairing.datagramKey == phone.datagramKey);
}

}  // namespace
}  // namespace TrackpadProtocol
