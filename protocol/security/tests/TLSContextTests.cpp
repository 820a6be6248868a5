#include "protocol/security/TLSContext.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace TrackpadProtocol {
namespace {

// Two SSL objects joined by an in-memory BIO pair, driven until both finish or one fails.
struct MemoryLink {
    SSL* client = nullptr;
    SSL* server = nullptr;

    MemoryLink(const SSLContext& clientContext, const SSLContext& serverContext) {
        client = SSL_new(clientContext.get());
        server = SSL_new(serverContext.get());
        BIO* clientEnd = nullptr;
        BIO* serverEnd = nullptr;
        BIO_new_bio_pair(&clientEnd, 0, &serverEnd, 0);
        SSL_set_bio(client, clientEnd, clientEnd);
        SSL_set_bio(server, serverEnd, serverEnd);
        SSL_set_connect_state(client);
        SSL_set_accept_state(server);
    }
    ~MemoryLink() {
        SSL_free(client);
        SSL_free(server);
    }

    bool handshake() {
        for (int round = 0; round < 20; ++round) {
            const int c = SSL_do_handshake(client);
            const int s = SSL_do_handshake(server);
            if (c == 1 && s == 1) {
                return true;
            }
            const auto stuck = [](SSL* ssl, int result) {
                const int error = SSL_get_error(ssl, result);
                return result != 1 && error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE;
            };
            if (stuck(client, c) || stuck(server, s)) {
                ERR_clear_error();
                return false;
            }
        }
        return false;
    }
};

class TLSContexts : public ::testing::Test {
  protected:
    TLSIdentity identity{UUID::random(), TLSIdentity::generatePrivateKey()};
    SSLContext server = makeTLSServerContext(identity);
};

TEST_F(TLSContexts, UnpinnedClientCompletesTLS13AndBothSidesExportTheSameKeys) {
    const SSLContext client = makeTLSClientContext(std::nullopt);
    MemoryLink link(client, server);
    ASSERT_TRUE(link.handshake());
    EXPECT_EQ(SSL_version(link.client), TLS1_3_VERSION);
    EXPECT_EQ(exportPairingSecret(link.client), exportPairingSecret(link.server));
    const DatagramKey clientKey = exportDatagramKey(link.client);
    EXPECT_TRUE(clientKey == exportDatagramKey(link.server));
    EXPECT_NE(exportPairingSecret(link.client), clientKey.secret);  // labels separate the two
    EXPECT_EQ(peerPublicKeyDigest(link.client), identity.publicKeyDigest());
    EXPECT_EQ(peerPublicKeyDigest(link.server), std::nullopt);  // no client certificates

    // Another connection exports other keys.
    MemoryLink second(client, server);
    ASSERT_TRUE(second.handshake());
    EXPECT_NE(exportPairingSecret(second.client), exportPairingSecret(link.client));
    EXPECT_NE(exportDatagramKey(second.client).keyID, clientKey.keyID);
}

TEST_F(TLSContexts, PinnedClientAcceptsOnlyThePinnedKey) {
    MemoryLink pinned(makeTLSClientContext(identity.publicKeyDigest()), server);
    EXPECT_TRUE(pinned.handshake());

    // The same key behind a fresh certificate (a restart) still matches.
    const TLSIdentity restarted(identity.hostID(), identity.privateKeyPKCS8());
    MemoryLink afterRestart(makeTLSClientContext(identity.publicKeyDigest()),
                            makeTLSServerContext(restarted));
    EXPECT_TRUE(afterRestart.handshake());

    const TLSIdentity impostor(identity.hostID(), TLSIdentity::generatePrivateKey());
    MemoryLink wrong(makeTLSClientContext(identity.publicKeyDigest()), makeTLSServerContext(impostor));
    EXPECT_FALSE(wrong.handshake());
}

TEST_F(TLSContexts, OlderProtocolVersionsAreRefused) {
    SSLContext oldClient(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_max_proto_version(oldClient.get(), TLS1_2_VERSION);
    MemoryLink link(oldClient, server);
    EXPECT_FALSE(link.handshake());
}

TEST_F(TLSContexts, ExportingBeforeTheHandshakeFinishesThrows) {
    const SSLContext client = makeTLSClientContext(std::nullopt);
    MemoryLink link(client, server);
    EXPECT_THROW(exportPairingSecret(link.client), TLSError);
    EXPECT_THROW(exportDatagramKey(link.server), TLSError);
    EXPECT_THROW(exportPairingSecret(nullptr), TLSError);
}

TEST(DatagramKey, SplitsTheExportedBytesIntoSecretAndBigEndianKeyID) {
    std::array<std::uint8_t, DatagramKey::exportedSize> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    }
    const DatagramKey key = DatagramKey::fromExportedBytes(bytes);
    EXPECT_EQ(key.secret[0], 1);
    EXPECT_EQ(key.secret[31], 32);
    EXPECT_EQ(key.keyID, 0x2122232425262728ULL);
}

}  // namespace
}  // namespace TrackpadProtocol
