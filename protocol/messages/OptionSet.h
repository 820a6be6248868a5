#pragma once
// A set of bit flags over an unsigned integer, in the style of the protocol's option sets.
#include <type_traits>

namespace TrackpadProtocol {

template <class Self, class Raw>
struct OptionSet {
    static_assert(std::is_unsigned_v<Raw>);
    using RawValue = Raw;
    Raw rawValue{};

    constexpr OptionSet() = default;
    constexpr explicit OptionSet(Raw raw) : rawValue(raw) {}

    constexpr bool contains(Self other) const { return (rawValue & other.rawValue) == other.rawValue; }
    constexpr bool isEmpty() const { return rawValue == 0; }
    constexpr void insert(Self other) { rawValue = static_cast<Raw>(rawValue | other.rawValue); }
    constexpr void remove(Self other) { rawValue = static_cast<Raw>(rawValue & ~other.rawValue); }

    friend constexpr Self operator|(Self a, Self b) { return Self(static_cast<Raw>(a.rawValue | b.rawValue)); }
    friend constexpr Self operator&(Self a, Self b) { return Self(static_cast<Raw>(a.rawValue & b.rawValue)); }
    friend constexpr bool operator==(Self a, Self b) { return a.rawValue == b.rawValue; }
};

}  // namespace TrackpadProtocol
