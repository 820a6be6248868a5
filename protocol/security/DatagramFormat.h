#pragma once
// The authenticated datagram inside DTLS: [0x01][key id u64][counter u64][message payload][tag], all
// integers big-endian, tag = HMAC-SHA256 under the session's datagram key over every preceding byte.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace TrackpadProtocol {

namespace DatagramFormat {

inline constexpr std::uint8_t version = 1;
inline constexpr std::size_t headerSize = 1 + 8 + 8;
inline constexpr std::size_t tagSize = 32;
inline constexpr std::size_t minimumSize = headerSize + tagSize;

inline std::uint64_t readU64(const std::uint8_t* p) {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = (value << 8) | p[i];
    }
    return value;
}

inline void writeU64(std::uint8_t* p, std::uint64_t value) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(value & 0xFF);
        value >>= 8;
    }
}

}  // namespace DatagramFormat

// HMAC-SHA256 with the key set once and reused for every message (re-keying per datagram would cost
// more than the MAC itself). Not thread-safe.
class KeyedHMAC {
  public:
    using Tag = std::array<std::uint8_t, 32>;

    explicit KeyedHMAC(std::span<const std::uint8_t> key);
    KeyedHMAC(KeyedHMAC&&) noexcept;
    KeyedHMAC& operator=(KeyedHMAC&&) noexcept;
    ~KeyedHMAC();

    Tag compute(std::span<const std::uint8_t> data);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace TrackpadProtocol
