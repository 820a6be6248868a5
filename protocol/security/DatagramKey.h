#pragma once
// The key that authenticates one session's datagrams, exported from its TLS connection on both sides:
// the first 32 exported bytes are the HMAC-SHA256 key, the last 8 (big-endian) the key id that every
// datagram carries, so the computer can tell sessions apart even when phones share an address.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace TrackpadProtocol {

struct DatagramKey {
    static constexpr std::size_t exportedSize = 40;

    std::array<std::uint8_t, 32> secret{};
    std::uint64_t keyID = 0;

    DatagramKey() = default;
    DatagramKey(const std::array<std::uint8_t, 32>& secretBytes, std::uint64_t id)
        : secret(secretBytes), keyID(id) {}
    DatagramKey(const DatagramKey&) = default;
    DatagramKey& operator=(const DatagramKey&) = default;
    ~DatagramKey();

    static DatagramKey fromExportedBytes(std::span<const std::uint8_t, exportedSize> bytes);

    friend bool operator==(const DatagramKey& a, const DatagramKey& b);
};

}  // namespace TrackpadProtocol
