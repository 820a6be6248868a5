#include "protocol/security/TLSIdentity.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>

namespace TrackpadProtocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

X509* parseCertificate(const Bytes& der) {
    const unsigned char* cursor = der.data();
    return d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
}

Bytes pkcs8Of(EVP_PKEY* key) {
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    unsigned char* der = nullptr;
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    PKCS8_PRIV_KEY_INFO_free(info);
    return bytes;
}

TEST(TLSIdentity, CertificateIsSelfSignedP256ForTheHostID) {
    const UUID host = UUID::random();
    const Bytes key = TLSIdentity::generatePrivateKey();
    const TLSIdentity identity(host, key);
    EXPECT_EQ(identity.hostID(), host);
    EXPECT_EQ(identity.privateKeyPKCS8(), key);

    X509* certificate = parseCertificate(identity.certificateDER());
    ASSERT_NE(certificate, nullptr);
    EXPECT_EQ(X509_get_version(certificate), X509_VERSION_3);

    char commonName[64] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, commonName,
                              sizeof(commonName));
    EXPECT_EQ(std::string(commonName), host.uuidString());
    EXPECT_EQ(X509_NAME_cmp(X509_get_subject_name(certificate), X509_get_issuer_name(certificate)), 0);

    EVP_PKEY* publicKey = X509_get0_pubkey(certificate);
    EXPECT_EQ(X509_verify(certificate, publicKey), 1);
    EXPECT_EQ(X509_get_signature_nid(certificate), NID_ecdsa_with_SHA256);
    char group[32] = {};
    EVP_PKEY_get_group_name(publicKey, group, sizeof(group), nullptr);
    EXPECT_STREQ(group, "prime256v1");

    // Ten years from now, give or take the seconds this test takes.
    int days = 0, seconds = 0;
    ASSERT_EQ(
        ASN1_TIME_diff(&days, &seconds, X509_get0_notBefore(certificate), X509_get0_notAfter(certificate)),
        1);
    EXPECT_GE(days, 3650);
    EXPECT_LE(days, 3653);
    EXPECT_LE(X509_cmp_current_time(X509_get0_notBefore(certificate)), 0);

    // Only basicConstraints, marked critical, not a CA.
    EXPECT_EQ(X509_get_ext_count(certificate), 1);
    const int index = X509_get_ext_by_NID(certificate, NID_basic_constraints, -1);
    ASSERT_GE(index, 0);
    EXPECT_EQ(X509_EXTENSION_get_critical(X509_get_ext(certificate, index)), 1);
    EXPECT_EQ(X509_check_ca(certificate), 0);

    const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
    BIGNUM* serialNumber = ASN1_INTEGER_to_BN(serial, nullptr);
    EXPECT_FALSE(BN_is_negative(serialNumber));
    EXPECT_FALSE(BN_is_zero(serialNumber));
    BN_free(serialNumber);
    X509_free(certificate);
}

TEST(TLSIdentity, SameKeyGivesSamePinButFreshCertificate) {
    const Bytes key = TLSIdentity::generatePrivateKey();
    const TLSIdentity first(UUID::random(), key);
    const TLSIdentity second(first.hostID(), key);
    EXPECT_EQ(first.publicKeyDigest(), second.publicKeyDigest());
    EXPECT_NE(first.certificateDER(), second.certificateDER());  // random serial
    const TLSIdentity other(first.hostID(), TLSIdentity::generatePrivateKey());
    EXPECT_NE(first.publicKeyDigest(), other.publicKeyDigest());
}

TEST(TLSIdentity, RefusesKeysThatAreNotPKCS8P256) {
    const UUID host = UUID::random();
    Bytes good = TLSIdentity::generatePrivateKey();
    Bytes truncated(good.begin(), good.end() - 5);
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_THROW(TLSIdentity(host, Bytes{}), TLSError);
    EXPECT_THROW(TLSIdentity(host, Bytes(100, 0x30)), TLSError);
    EXPECT_THROW(TLSIdentity(host, truncated), TLSError);
    EXPECT_THROW(TLSIdentity(host, trailing), TLSError);

    EVP_PKEY* p384 = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384");
    EXPECT_THROW(TLSIdentity(host, pkcs8Of(p384)), TLSError);
    EVP_PKEY_free(p384);
    EVP_PKEY* ed25519 = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    EXPECT_THROW(TLSIdentity(host, pkcs8Of(ed25519)), TLSError);
    EVP_PKEY_free(ed25519);
}

}  // namespace
}  // namespace TrackpadProtocol
