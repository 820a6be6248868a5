#include "protocol/security/TLSContext.h"

#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <string>
#include <vector>

#include "protocol/messages/Secrets.h"
#include "protocol/security/OpenSSLSupport.h"

namespace TrackpadProtocol {

namespace {

constexpr const char* datagramCipher = "ECDHE-ECDSA-AES128-GCM-SHA256";

[[noreturn]] void fail(const std::string& what) {
    throw TLSError(openssl::takeError(what));
}

// What a context's callbacks need, owned by the context through its ex_data so that it lives exactly
// as long as the SSL_CTX (which SSL objects keep alive).
struct ContextState {
    std::optional<PublicKeyDigest> pinnedKey;
    std::array<std::uint8_t, 32> cookieSecret{};

    ~ContextState() { wipe(cookieSecret); }
};

void freeContextState(void*, void* state, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<ContextState*>(state);
}

int contextStateIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeContextState);
    return index;
}

ContextState* attachState(SSL_CTX* context) {
    const int index = contextStateIndex();
    if (index < 0) {
        fail("the TLS context state could not be registered");
    }
    auto* state = new ContextState();
    if (SSL_CTX_set_ex_data(context, index, state) != 1) {
        delete state;
        fail("the TLS context state could not be attached");
    }
    return state;
}

ContextState* stateOf(SSL* connection) {
    return static_cast<ContextState*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(connection), contextStateIndex()));
}

std::optional<PublicKeyDigest> digestOf(X509* certificate) {
    if (certificate == nullptr) {
        return std::nullopt;
    }
    unsigned char* der = nullptr;
    const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    if (length <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    PublicKeyDigest digest;
    SHA256(der, static_cast<std::size_t>(length), digest.data());
    OPENSSL_free(der);
    return digest;
}

int verifyPinnedKey(X509_STORE_CTX* store, void* argument) {
    const auto* state = static_cast<const ContextState*>(argument);
    const std::optional<PublicKeyDigest> digest = digestOf(X509_STORE_CTX_get0_cert(store));
    if (state == nullptr || !state->pinnedKey || !digest || !constantTimeEqual(*digest, *state->pinnedKey)) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
        return 0;
    }
    X509_STORE_CTX_set_error(store, X509_V_OK);
    return 1;
}

// HMAC-SHA256 under the context's secret over the peer's family, port and address.
bool cookieFor(SSL* connection, std::array<std::uint8_t, 32>& cookie) {
    const ContextState* state = stateOf(connection);
    if (state == nullptr) {
        return false;
    }
    std::vector<std::uint8_t> peer;
    openssl::Address address(BIO_ADDR_new());
    if (address && BIO_dgram_get_peer(SSL_get_rbio(connection), address.get()) > 0) {
        const int family = BIO_ADDR_family(address.get());
        const unsigned short port = BIO_ADDR_rawport(address.get());
        std::size_t length = 0;
        BIO_ADDR_rawaddress(address.get(), nullptr, &length);
        peer.resize(3 + length);
        peer[0] = static_cast<std::uint8_t>(family);
        peer[1] = static_cast<std::uint8_t>(port >> 8);
        peer[2] = static_cast<std::uint8_t>(port & 0xFF);
        if (length > 0) {
            BIO_ADDR_rawaddress(address.get(), peer.data() + 3, &length);
        }
    }
    unsigned int written = 0;
    const bool ok =
        HMAC(EVP_sha256(), state->cookieSecret.data(), static_cast<int>(state->cookieSecret.size()),
             peer.data(), peer.size(), cookie.data(), &written) != nullptr &&
        written == cookie.size();
    ERR_clear_error();
    return ok;
}

int generateCookie(SSL* connection, unsigned char* cookie, unsigned int* length) {
    std::array<std::uint8_t, 32> value;
    if (!cookieFor(connection, value)) {
        return 0;
    }
    std::copy(value.begin(), value.end(), cookie);
    *length = static_cast<unsigned int>(value.size());
    return 1;
}

int verifyCookie(SSL* connection, const unsigned char* cookie, unsigned int length) {
    std::array<std::uint8_t, 32> expected;
    if (!cookieFor(connection, expected)) {
        return 0;
    }
    return constantTimeEqual(expected, std::span<const std::uint8_t>(cookie, length)) ? 1 : 0;
}

openssl::Context newContext(const SSL_METHOD* method, int version, const char* what) {
    openssl::Context context(SSL_CTX_new(method));
    if (!context || SSL_CTX_set_min_proto_version(context.get(), version) != 1 ||
        SSL_CTX_set_max_proto_version(context.get(), version) != 1) {
        fail(std::string("the ") + what + " context could not be created");
    }
    SSL_CTX_set_session_cache_mode(context.get(), SSL_SESS_CACHE_OFF);
    // Received records carry tokens and passwords: their plaintext is wiped once it has been read.
    SSL_CTX_set_options(context.get(), SSL_OP_CLEANSE_PLAINTEXT);
    return context;
}

void useIdentity(SSL_CTX* context, const TLSIdentity& identity) {
    if (SSL_CTX_use_certificate(context, identity.certificate()) != 1 ||
        SSL_CTX_use_PrivateKey(context, identity.privateKey()) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        fail("the TLS identity could not be installed");
    }
}

void usePin(SSL_CTX* context, const std::optional<PublicKeyDigest>& pinnedKey) {
    if (!pinnedKey) {
        SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
        return;
    }
    ContextState* state = attachState(context);
    state->pinnedKey = pinnedKey;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(context, verifyPinnedKey, state);
}

template <std::size_t N>
std::array<std::uint8_t, N> exportMaterial(SSL* connection, std::string_view label) {
    std::array<std::uint8_t, N> out;
    if (connection == nullptr || SSL_is_init_finished(connection) != 1 ||
        SSL_export_keying_material(connection, out.data(), out.size(), label.data(), label.size(), nullptr, 0,
                                   1) != 1) {
        fail("keying material could not be exported");
    }
    return out;
}

}  // namespace

SSLContext& SSLContext::operator=(SSLContext&& other) noexcept {
    if (this != &other) {
        SSL_CTX_free(context_);
        context_ = other.context_;
        other.context_ = nullptr;
    }
    return *this;
}

SSLContext::~SSLContext() {
    SSL_CTX_free(context_);
}

SSLContext makeTLSServerContext(const TLSIdentity& identity) {
    openssl::Context context = newContext(TLS_server_method(), TLS1_3_VERSION, "TLS server");
    useIdentity(context.get(), identity);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    if (SSL_CTX_set_num_tickets(context.get(), 0) != 1) {
        fail("session tickets could not be switched off");
    }
    return SSLContext(context.release());
}

SSLContext makeTLSClientContext(const std::optional<PublicKeyDigest>& pinnedKey) {
    openssl::Context context = newContext(TLS_client_method(), TLS1_3_VERSION, "TLS client");
    usePin(context.get(), pinnedKey);
    return SSLContext(context.release());
}

SSLContext makeDTLSServerContext(const TLSIdentity& identity) {
    openssl::Context context = newContext(DTLS_server_method(), DTLS1_2_VERSION, "DTLS server");
    if (SSL_CTX_set_cipher_list(context.get(), datagramCipher) != 1) {
        fail("the DTLS cipher could not be selected");
    }
    useIdentity(context.get(), identity);
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    ContextState* state = attachState(context.get());
    fillRandom(state->cookieSecret);
    SSL_CTX_set_cookie_generate_cb(context.get(), generateCookie);
    SSL_CTX_set_cookie_verify_cb(context.get(), verifyCookie);
    SSL_CTX_set_options(context.get(), SSL_OP_COOKIE_EXCHANGE | SSL_OP_NO_RENEGOTIATION);
    return SSLContext(context.release());
}

SSLContext makeDTLSClientContext(const std::optional<PublicKeyDigest>& pinnedKey) {
    openssl::Context context = newContext(DTLS_client_method(), DTLS1_2_VERSION, "DTLS client");
    if (SSL_CTX_set_cipher_list(context.get(), datagramCipher) != 1) {
        fail("the DTLS cipher could not be selected");
    }
    SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
    usePin(context.get(), pinnedKey);
    return SSLContext(context.release());
}

std::optional<PublicKeyDigest> peerPublicKeyDigest(ssl_st* connection) {
    return connection ? digestOf(SSL_get0_peer_certificate(connection)) : std::nullopt;
}

std::array<std::uint8_t, pairingExporterSize> exportPairingSecret(ssl_st* connection) {
    return exportMaterial<pairingExporterSize>(connection, pairingExporterLabel);
}

DatagramKey exportDatagramKey(ssl_st* connection) {
    std::array<std::uint8_t, DatagramKey::exportedSize> bytes =
        exportMaterial<DatagramKey::exportedSize>(connection, datagramExporterLabel);
    DatagramKey key = DatagramKey::fromExportedBytes(bytes);
    wipe(bytes);
    return key;
}

}  // namespace TrackpadProtocol
