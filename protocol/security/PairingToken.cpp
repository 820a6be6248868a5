#include "protocol/security/PairingToken.h"

#include <openssl/sha.h>

#include "protocol/messages/Secrets.h"

namespace TrackpadProtocol {

PairingToken::~PairingToken() {
    wipe(bytes_);
}

PairingToken PairingToken::random() {
    Bytes bytes;
    fillRandom(bytes);
    PairingToken token(bytes);
    wipe(bytes);
    return token;
}

PairingToken::Digest PairingToken::digest() const {
    Digest digest;
    SHA256(bytes_.data(), bytes_.size(), digest.data());
    return digest;
}

bool PairingToken::matches(const Digest& stored) const {
    Digest own = digest();
    const bool equal = constantTimeEqual(own, stored);
    wipe(own);
    return equal;
}

bool operator==(const PairingToken& a, const PairingToken& b) {
    return constantTimeEqual(a.bytes_, b.bytes_);
}

}  // namespace TrackpadProtocol
