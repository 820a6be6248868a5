#pragma once
// The 32 random bytes a phone receives when pairing succeeds and presents to open a session. The
// computer keeps only the token's SHA-256 digest; every comparison runs in constant time.
#include <array>
#include <cstddef>
#include <cstdint>

namespace TrackpadProtocol {

class PairingToken {
  public:
    static constexpr std::size_t byteCount = 32;
    using Bytes = std::array<std::uint8_t, byteCount>;
    using Digest = std::array<std::uint8_t, 32>;

    // All zero; only a placeholder until a real token is assigned.
    PairingToken() = default;
    explicit PairingToken(const Bytes& bytes) : bytes_(bytes) {}
    PairingToken(const PairingToken&) = default;
    PairingToken& operator=(const PairingToken&) = default;
    ~PairingToken();

    // 32 bytes from the system CSPRNG. Throws RandomnessError.
    static PairingToken random();

    const Bytes& bytes() const { return bytes_; }
    // SHA-256 of the bytes, as the trusted-device list stores it.
    Digest digest() const;
    // Whether this token's digest equals `stored`, compared in constant time.
    bool matches(const Digest& stored) const;

    // Constant time.
    friend bool operator==(const PairingToken& a, const PairingToken& b);

  private:
    Bytes bytes_{};
};

}  // namespace TrackpadProtocol
