#pragma once
// Small helpers for secret bytes: system randomness, constant-time comparison and wiping. Everything that
// handles keys, codes or tokens goes through these so that no comparison leaks where two secrets differ.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

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

// Overwrites about `bytes` of the stack below the caller's frame: what a callee left there (a library's
// copy of a key it derived) goes with it. For use right after such a call returns.
void burnStack(std::size_t bytes = 16384);

// Hides a value from the optimiser, so that arithmetic on a secret mask cannot be turned back into a
// branch (or a table lookup) at any optimisation level.
inline std::uint64_t valueBarrier(std::uint64_t value) {
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+r"(value));
#endif
    return value;
}

// An allocator that wipes what it gives back: a container of secrets leaves no copy behind, also of
// the buffers it outgrows.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}  // NOLINT(google-explicit-constructor)
    T* allocate(std::size_t count) { return std::allocator<T>{}.allocate(count); }
    void deallocate(T* pointer, std::size_t count) noexcept {
        wipe(pointer, count * sizeof(T));
        std::allocator<T>{}.deallocate(pointer, count);
    }
    friend bool operator==(const WipingAllocator&, const WipingAllocator&) { return true; }
};

// Bytes, and text, that may hold a secret.
using SecretVector = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;
using SecretString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

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
