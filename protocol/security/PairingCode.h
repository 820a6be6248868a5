#pragma once
// The six-digit code the computer shows while a phone pairs. It is the password of the CPace exchange,
// so it is wiped when the value goes away.
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace TrackpadProtocol {

class PairingCode {
  public:
    static constexpr std::size_t digitCount = 6;

    // A fresh code: each digit drawn without bias from system randomness (bytes of 250 and above are
    // drawn again, the rest give their value modulo 10). Throws RandomnessError.
    static PairingCode random();
    // The code a user typed: exactly six ASCII decimal digits; none for anything else.
    static std::optional<PairingCode> fromDigits(std::string_view digits);

    PairingCode(const PairingCode&) = default;
    PairingCode& operator=(const PairingCode&) = default;
    ~PairingCode();

    std::string_view digits() const { return {digits_.data(), digits_.size()}; }
    // The password bytes of the exchange: the six ASCII digits.
    std::span<const std::uint8_t> passwordBytes() const;
    // "123 456": the first three digits, one blank, the last three.
    std::string description() const;

    // Constant time.
    friend bool operator==(const PairingCode& a, const PairingCode& b);

  private:
    explicit PairingCode(const std::array<char, digitCount>& digits) : digits_(digits) {}

    std::array<char, digitCount> digits_;
};

}  // namespace TrackpadProtocol
