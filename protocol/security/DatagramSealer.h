#pragma once
// The phone's half of datagram authentication: wraps each message payload with the key id, the next
// counter (from 1) and the HMAC-SHA256 tag. One sealer per session key; not thread-safe.
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/messages/Message.h"
#include "protocol/security/DatagramFormat.h"
#include "protocol/security/DatagramKey.h"

namespace TrackpadProtocol {

class DatagramSealer {
  public:
    explicit DatagramSealer(const DatagramKey& key);

    std::uint64_t keyID() const { return keyID_; }
    std::uint64_t nextCounter() const { return nextCounter_; }

    // The sealed datagram for one encoded message payload. Throws std::length_error once the 64-bit
    // counter is spent (a new session brings a new key).
    std::vector<std::uint8_t> seal(std::span<const std::uint8_t> payload);
    // The sealed datagram of one message; throws MessageCodec::EncodingError when it cannot be encoded
    // (and then uses no counter).
    std::vector<std::uint8_t> seal(const Message& message);

  private:
    KeyedHMAC mac_;
    std::uint64_t keyID_;
    std::uint64_t nextCounter_ = 1;
};

}  // namespace TrackpadProtocol
