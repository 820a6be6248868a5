#pragma once
// Owning pointers for OpenSSL objects and its error text. Included only by .cpp files of this module:
// it pulls in OpenSSL's headers, which stay out of the public ones.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

namespace TrackpadProtocol::openssl {

template <typename T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};

using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using Certificate = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using Context = std::unique_ptr<SSL_CTX, Deleter<SSL_CTX, SSL_CTX_free>>;
using Connection = std::unique_ptr<SSL, Deleter<SSL, SSL_free>>;
using MacContext = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX, EVP_MAC_CTX_free>>;
using Mac = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC, EVP_MAC_free>>;
using Address = std::unique_ptr<BIO_ADDR, Deleter<BIO_ADDR, BIO_ADDR_free>>;

// The oldest queued OpenSSL error as text (or `fallback`), clearing the queue so that it cannot be
// blamed on a later call.
inline std::string takeError(const std::string& fallback) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return fallback;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return fallback + ": " + text;
}

}  // namespace TrackpadProtocol::openssl
