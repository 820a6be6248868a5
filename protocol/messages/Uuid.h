#pragma once
// A 16-byte UUID value: devices, hosts and pointer sessions are named by one.
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace TrackpadProtocol {

struct UUID {
    std::array<std::uint8_t, 16> bytes{};

    // A random version-4 UUID from the system's cryptographic random source.
    static UUID random();
    // Parses the canonical 8-4-4-4-12 hexadecimal form, either case.
    static std::optional<UUID> parse(std::string_view text);
    // Canonical form in upper case, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
    std::string uuidString() const;

    friend auto operator<=>(const UUID&, const UUID&) = default;
};

}  // namespace TrackpadProtocol

template <>
struct std::hash<TrackpadProtocol::UUID> {
    std::size_t operator()(const TrackpadProtocol::UUID& id) const noexcept {
        std::size_t h = 1469598103934665603ull;
        for (auto b : id.bytes) h = (h ^ b) * 1099511628211ull;
        return h;
    }
};
