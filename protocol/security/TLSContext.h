#pragma once
// OpenSSL 3 contexts for the two channels and the keying material both sides export from a finished
// TLS handshake. The reliable channel is TLS 1.3 only with server authentication only; the datagram
// channel is DTLS 1.2 (the newest this platform's OpenSSL has) with the same certificate.
//
// Callers create SSL objects from SSLContext::get() with OpenSSL themselves; OpenSSL's headers stay out
// of this one.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/security/DatagramKey.h"
#include "protocol/security/TLSIdentity.h"

struct ssl_ctx_st;
struct ssl_st;

namespace TrackpadProtocol {

inline constexpr std::string_view pairingExporterLabel = "EXPORTER-vornelis-pairing";
inline constexpr std::string_view datagramExporterLabel = "EXPORTER-vornelis-datagram";
inline constexpr std::size_t pairingExporterSize = 32;

// Owns one reference to an SSL_CTX. SSL objects made from it keep the context (and the state its
// callbacks use) alive on their own.
class SSLContext {
  public:
    SSLContext() = default;
    explicit SSLContext(ssl_ctx_st* adopted) : context_(adopted) {}
    SSLContext(SSLContext&& other) noexcept : context_(other.context_) { other.context_ = nullptr; }
    SSLContext& operator=(SSLContext&& other) noexcept;
    SSLContext(const SSLContext&) = delete;
    SSLContext& operator=(const SSLContext&) = delete;
    ~SSLContext();

    ssl_ctx_st* get() const { return context_; }
    explicit operator bool() const { return context_ != nullptr; }

  private:
    ssl_ctx_st* context_ = nullptr;
};

// The computer's TLS 1.3 server: its identity, no client certificates, no session tickets (sessions are
// our own, opened by token, not by TLS resumption). Throws TLSError.
SSLContext makeTLSServerContext(const TLSIdentity& identity);
// The phone's TLS 1.3 client. Without a pin it accepts any certificate (first pairing: CPace bound to
// the exporter is what authenticates); with one it accepts only a certificate whose public-key digest
// equals the pin. Throws TLSError.
SSLContext makeTLSClientContext(const std::optional<PublicKeyDigest>& pinnedKey);
// The computer's DTLS 1.2 server, ECDHE-ECDSA-AES128-GCM-SHA256, with the stateless cookie exchange on
// so that DTLSv1_listen answers a spoofed hello with a cookie request and keeps no state. The cookie is
// an HMAC over the peer's address under a secret of this context; the peer address is read from the
// SSL's datagram read BIO. Throws TLSError.
SSLContext makeDTLSServerContext(const TLSIdentity& identity);
// The phone's DTLS 1.2 client, pinned like the TLS client. Throws TLSError.
SSLContext makeDTLSClientContext(const std::optional<PublicKeyDigest>& pinnedKey);

// SHA-256 of the peer certificate's SubjectPublicKeyInfo; none without a peer certificate. The phone
// stores this with the host id once pairing succeeds.
std::optional<PublicKeyDigest> peerPublicKeyDigest(ssl_st* connection);

// RFC 8446 exporters with an empty context, on a connection whose handshake has finished.
// Throws TLSError otherwise.
std::array<std::uint8_t, pairingExporterSize> exportPairingSecret(ssl_st* connection);
DatagramKey exportDatagramKey(ssl_st* connection);

}  // namespace TrackpadProtocol
