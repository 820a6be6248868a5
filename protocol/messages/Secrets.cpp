#include "protocol/messages/Secrets.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <climits>

namespace TrackpadProtocol {

void fillRandom(std::span<std::uint8_t> out) {
    // RAND_bytes takes an int; ask in chunks so that a large request cannot wrap.
    while (!out.empty()) {
        const std::size_t chunk = out.size() < static_cast<std::size_t>(INT_MAX) ? out.size() : INT_MAX;
        if (RAND_bytes(out.data(), static_cast<int>(chunk)) != 1) {
            throw RandomnessError();
        }
        out = out.subspan(chunk);
    }
}

bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (a.size() != b.size()) {
        return false;
    }
    return a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

void wipe(std::span<std::uint8_t> bytes) {
    if (!bytes.empty()) {
        OPENSSL_cleanse(bytes.data(), bytes.size());
    }
}

void wipe(void* data, std::size_t size) {
    if (size != 0) {
        OPENSSL_cleanse(data, size);
    }
}

namespace {

// A frame of its own, never inlined: its array lies where the callee's frames were.
[[gnu::noinline]] void burnFrame(std::size_t bytes) {
    constexpr std::size_t frame = 4096;
    unsigned char area[frame];
    OPENSSL_cleanse(area, sizeof area);
    if (bytes > frame) {
        burnFrame(bytes - frame);
    }
    // Keeps the recursion from becoming a loop that reuses one frame.
    __asm__ volatile("" : : "r"(area) : "memory");
}

}  // namespace

void burnStack(std::size_t bytes) {
    burnFrame(bytes);
}

}  // namespace TrackpadProtocol
