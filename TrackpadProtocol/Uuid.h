#pragma once
// A 16-byte universally unique identifier: device ids, the host id, pointer-stamp sessions.
// Text form is the canonical 8-4-4-4-12 hexadecimal, upper case when written.
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace TrackpadProtocol {

class UUID {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // The nil UUID (all zero).
    constexpr UUID() = default;
    constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

    // A random (version 4, RFC 4122 variant) UUID from the system CSPRNG.
    static UUID random();
    // Parses "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" in either case; none for anything else.
    static std::optional<UUID> parse(std::string_view text);

    // Upper-case canonical text.
    std::string uuidString() const;
    const Bytes& bytes() const { return bytes_; }

    friend constexpr bool operator==(const UUID&, const UUID&) = default;
    friend constexpr auto operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes bytes_{};
};

}  // namespace TrackpadProtocol

template <>
struct std::hash<TrackpadProtocol::UUID> {
    std::size_t operator()(const TrackpadProtocol::UUID& id) const noexcept {
        // The bytes are random already; folding them is enough.
        std::uint64_t high = 0;
        std::uint64_t low = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            high = (high << 8) | id.bytes()[i];
            low = (low << 8) | id.bytes()[i + 8];
        }
        return static_cast<std::size_t>(high ^ (low * 0x9E3779B97F4A7C15ULL));
    }
};
