#include <openssl/core_names.h>
#include <openssl/params.h>

#include <stdexcept>

#include "protocol/security/DatagramFormat.h"
#include "protocol/security/OpenSSLSupport.h"

namespace TrackpadProtocol {

struct KeyedHMAC::Impl {
    openssl::MacContext context;
};

KeyedHMAC::KeyedHMAC(std::span<const std::uint8_t> key) : impl_(std::make_unique<Impl>()) {
    openssl::Mac mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (mac) {
        impl_->context.reset(EVP_MAC_CTX_new(mac.get()));
    }
    char digest[] = "SHA256";
    const OSSL_PARAM parameters[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                     OSSL_PARAM_construct_end()};
    if (!impl_->context || EVP_MAC_init(impl_->context.get(), key.data(), key.size(), parameters) != 1) {
        throw std::runtime_error(openssl::takeError("HMAC-SHA256 could not be keyed"));
    }
}

KeyedHMAC::KeyedHMAC(KeyedHMAC&&) noexcept = default;
KeyedHMAC& KeyedHMAC::operator=(KeyedHMAC&&) noexcept = default;
KeyedHMAC::~KeyedHMAC() = default;  // EVP_MAC_CTX_free clears the key schedule

KeyedHMAC::Tag KeyedHMAC::compute(std::span<const std::uint8_t> data) {
    Tag tag;
    std::size_t length = 0;
    // A null key restarts the MAC with the key already set.
    if (EVP_MAC_init(impl_->context.get(), nullptr, 0, nullptr) != 1 ||
        EVP_MAC_update(impl_->context.get(), data.data(), data.size()) != 1 ||
        EVP_MAC_final(impl_->context.get(), tag.data(), &length, tag.size()) != 1 || length != tag.size()) {
        throw std::runtime_error(openssl::takeError("HMAC-SHA256 failed"));
    }
    return tag;
}

}  // namespace TrackpadProtocol
