#pragma once
// Small helpers for secret bytes: system randomness, constant-time comparison and wiping. Everything that
// handles keys, codes or tokens goes through these so that no comparison leaks where two secrets differ.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>

namespace TrackpadProtocol {

// Thrown when the system's random generator cannot deliver; nothing secret can be made then.
class RandomnessError : public std::runtime_error {
  public:
    RandomnessError() : std::runtime_error("the system random generator failed") {}
};

// Fills `out` from the system CSPRNG (OpenSSL's RAND_bytes). Throws RandomnessError.
void fillRandom(std::span<std::uint8_t> out);

// True when both have the same length and contents. The time taken depends only on the lengths.
bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

// Overwrites the bytes with zeros in a way the compiler may not drop.
void wipe(std::span<std::uint8_t> bytes);
void wipe(void* data, std::size_t size);

// A fixed-size secret that wipes itself, also when the object holding it is abandoned half-built.
template <std::size_t N>
struct SecretBytes : std::array<std::uint8_t, N> {
    SecretBytes() : std::array<std::uint8_t, N>{} {}
    SecretBytes(const std::array<std::uint8_t, N>& bytes) : std::array<std::uint8_t, N>(bytes) {}  // NOLINT
    SecretBytes(const SecretBytes&) = default;
    SecretBytes& operator=(const SecretBytes&) = default;
    ~SecretBytes() { wipe(this->data(), N); }
};

}  // namespace TrackpadProtocol
