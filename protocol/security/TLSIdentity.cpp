#include "protocol/security/TLSIdentity.h"

#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

#include <string>

#include "protocol/messages/Secrets.h"
#include "protocol/security/OpenSSLSupport.h"

namespace TrackpadProtocol {

namespace {

constexpr long validityDays = 3652;  // ten years, leap days included

struct PKCS8Deleter {
    void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
using PKCS8 = std::unique_ptr<PKCS8_PRIV_KEY_INFO, PKCS8Deleter>;

[[noreturn]] void fail(const std::string& what) {
    throw TLSError(openssl::takeError(what));
}

bool isP256(EVP_PKEY* key) {
    if (EVP_PKEY_is_a(key, "EC") != 1) {
        return false;
    }
    char group[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof(group), &length) != 1) {
        return false;
    }
    return OBJ_sn2nid(group) == NID_X9_62_prime256v1;
}

std::vector<std::uint8_t> encodePKCS8(EVP_PKEY* key) {
    PKCS8 info(EVP_PKEY2PKCS8(key));
    if (!info) {
        fail("the TLS key could not be encoded");
    }
    unsigned char* der = nullptr;
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der);
    if (length <= 0) {
        fail("the TLS key could not be encoded");
    }
    std::vector<std::uint8_t> bytes(der, der + length);
    OPENSSL_clear_free(der, static_cast<std::size_t>(length));
    return bytes;
}

void setRandomSerial(X509* certificate) {
    std::array<std::uint8_t, 16> serial;
    fillRandom(serial);
    serial[0] = static_cast<std::uint8_t>((serial[0] & 0x7F) | 0x01);  // positive and never zero
    BIGNUM* number = BN_bin2bn(serial.data(), static_cast<int>(serial.size()), nullptr);
    const bool ok = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != nullptr;
    BN_free(number);
    if (!ok) {
        fail("the certificate serial could not be set");
    }
}

openssl::Certificate makeCertificate(EVP_PKEY* key, const UUID& hostID) {
    openssl::Certificate certificate(X509_new());
    if (!certificate || X509_set_version(certificate.get(), X509_VERSION_3) != 1) {
        fail("the certificate could not be created");
    }
    setRandomSerial(certificate.get());
    if (!X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0) ||
        !X509_time_adj_ex(X509_getm_notAfter(certificate.get()), validityDays, 0, nullptr) ||
        X509_set_pubkey(certificate.get(), key) != 1) {
        fail("the certificate could not be filled in");
    }
    const std::string commonName = hostID.uuidString();
    X509_NAME* name = X509_get_subject_name(certificate.get());
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(certificate.get(), name) != 1) {
        fail("the certificate name could not be set");
    }
    X509V3_CTX extensionContext;
    X509V3_set_ctx_nodb(&extensionContext);
    X509V3_set_ctx(&extensionContext, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    X509_EXTENSION* basicConstraints =
        X509V3_EXT_conf_nid(nullptr, &extensionContext, NID_basic_constraints, "critical,CA:FALSE");
    const bool added = basicConstraints && X509_add_ext(certificate.get(), basicConstraints, -1) == 1;
    X509_EXTENSION_free(basicConstraints);
    if (!added) {
        fail("the certificate constraints could not be set");
    }
    if (X509_sign(certificate.get(), key, EVP_sha256()) <= 0) {
        fail("the certificate could not be signed");
    }
    return certificate;
}

}  // namespace

struct TLSIdentity::Impl {
    UUID hostID;
    openssl::PKey key;
    openssl::Certificate certificate;
};

std::vector<std::uint8_t> TLSIdentity::generatePrivateKey() {
    openssl::PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!key) {
        fail("a P-256 key could not be generated");
    }
    return encodePKCS8(key.get());
}

TLSIdentity::TLSIdentity(const UUID& hostID, std::span<const std::uint8_t> privateKeyPKCS8)
    : impl_(std::make_unique<Impl>()) {
    impl_->hostID = hostID;
    const unsigned char* cursor = privateKeyPKCS8.data();
    PKCS8 info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(privateKeyPKCS8.size())));
    if (!info || cursor != privateKeyPKCS8.data() + privateKeyPKCS8.size()) {
        fail("the stored TLS key is not PKCS#8");
    }
    impl_->key.reset(EVP_PKCS82PKEY(info.get()));
    if (!impl_->key || !isP256(impl_->key.get())) {
        fail("the stored TLS key is not a P-256 key");
    }
    impl_->certificate = makeCertificate(impl_->key.get(), hostID);
}

TLSIdentity::TLSIdentity(TLSIdentity&&) noexcept = default;
TLSIdentity& TLSIdentity::operator=(TLSIdentity&&) noexcept = default;
TLSIdentity::~TLSIdentity() = default;

const UUID& TLSIdentity::hostID() const {
    return impl_->hostID;
}

std::vector<std::uint8_t> TLSIdentity::privateKeyPKCS8() const {
    return encodePKCS8(impl_->key.get());
}

std::vector<std::uint8_t> TLSIdentity::certificateDER() const {
    unsigned char* der = nullptr;
    const int length = i2d_X509(impl_->certificate.get(), &der);
    if (length <= 0) {
        fail("the certificate could not be encoded");
    }
    std::vector<std::uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
}

PublicKeyDigest TLSIdentity::publicKeyDigest() const {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(impl_->key.get(), &der);
    if (length <= 0) {
        fail("the public key could not be encoded");
    }
    PublicKeyDigest digest;
    SHA256(der, static_cast<std::size_t>(length), digest.data());
    OPENSSL_free(der);
    return digest;
}

evp_pkey_st* TLSIdentity::privateKey() const {
    return impl_->key.get();
}
x509_st* TLSIdentity::certificate() const {
    return impl_->certificate.get();
}

}  // namespace TrackpadProtocol
