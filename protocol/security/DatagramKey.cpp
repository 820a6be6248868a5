#include "protocol/security/DatagramKey.h"

#include <algorithm>

#include "protocol/messages/Secrets.h"

namespace TrackpadProtocol {

DatagramKey::~DatagramKey() {
    wipe(secret);
}

DatagramKey DatagramKey::fromExportedBytes(std::span<const std::uint8_t, exportedSize> bytes) {
    DatagramKey key;
    std::copy_n(bytes.begin(), key.secret.size(), key.secret.begin());
    for (std::size_t i = key.secret.size(); i < exportedSize; ++i) {
        key.keyID = (key.keyID << 8) | bytes[i];
    }
    return key;
}

bool operator==(const DatagramKey& a, const DatagramKey& b) {
    return a.keyID == b.keyID && constantTimeEqual(a.secret, b.secret);
}

}  // namespace TrackpadProtocol
