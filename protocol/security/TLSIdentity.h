#pragma once
// The computer's TLS identity: the host id, its P-256 key (kept in the trusted-device list as PKCS#8)
// and a self-signed certificate made from that key at every start. Phones pin the key, not the
// certificate, so a new certificate for the same key changes nothing for them.
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "protocol/messages/Uuid.h"

struct evp_pkey_st;
struct x509_st;

namespace TrackpadProtocol {

// A TLS or DTLS setup step that OpenSSL refused, with OpenSSL's reason.
class TLSError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// SHA-256 of a DER SubjectPublicKeyInfo: what a paired phone pins.
using PublicKeyDigest = std::array<std::uint8_t, 32>;

class TLSIdentity {
  public:
    // A new P-256 private key as PKCS#8 DER. Throws TLSError.
    static std::vector<std::uint8_t> generatePrivateKey();
    // Builds the identity from a stored key; throws TLSError when the bytes are not a PKCS#8 P-256 key.
    TLSIdentity(const UUID& hostID, std::span<const std::uint8_t> privateKeyPKCS8);
    TLSIdentity(TLSIdentity&&) noexcept;
    TLSIdentity& operator=(TLSIdentity&&) noexcept;
    ~TLSIdentity();

    const UUID& hostID() const;
    std::vector<std::uint8_t> privateKeyPKCS8() const;
    std::vector<std::uint8_t> certificateDER() const;
    PublicKeyDigest publicKeyDigest() const;

    // Borrowed OpenSSL objects for the context factories; valid while the identity lives.
    evp_pkey_st* privateKey() const;
    x509_st* certificate() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace TrackpadProtocol
