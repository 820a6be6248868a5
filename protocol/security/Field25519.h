#pragma once
// Arithmetic in the field of integers modulo p = 2^255 - 19, and the Elligator 2 map onto Curve25519.
// The map's input is derived from the pairing code, so everything here runs in constant time: no branch
// and no memory index depends on a field value, and exponents are fixed public constants.
#include <array>
#include <cstdint>

namespace TrackpadProtocol::Field25519 {

// Five limbs of 51 bits, least significant first. Limbs may exceed 51 bits slightly between operations;
// toBytes() gives the unique canonical value.
struct Element {
    std::array<std::uint64_t, 5> limb{};
};

using Bytes = std::array<std::uint8_t, 32>;

// Little-endian decoding that ignores bit 255, as RFC 7748's decodeUCoordinate does.
Element fromBytes(const Bytes& bytes);
// Canonical little-endian encoding (fully reduced below p, bit 255 clear).
Bytes toBytes(const Element& a);
Element fromInteger(std::uint32_t value);

Element add(const Element& a, const Element& b);
Element subtract(const Element& a, const Element& b);
Element negate(const Element& a);
Element multiply(const Element& a, const Element& b);
Element square(const Element& a);
// a^(p-2): the inverse of a non-zero element, 0 for 0.
Element invert(const Element& a);
// a^((p-1)/2): 1 for a non-zero square, p-1 for a non-square, 0 for 0.
Element legendre(const Element& a);
// Constant-time: all-ones mask when equal, else zero.
std::uint64_t equalMask(const Element& a, const Element& b);
// Returns `whenSet` where mask is all ones and `whenClear` where it is zero, without branching.
Element select(std::uint64_t mask, const Element& whenSet, const Element& whenClear);

// map_to_curve_elligator2 of RFC 9380 for Curve25519 (J = 486662, K = 1, Z = 2), returning the encoded
// u-coordinate; the v-coordinate is not needed by CPace and is not computed.
Bytes elligator2(const Element& r);

}  // namespace TrackpadProtocol::Field25519
