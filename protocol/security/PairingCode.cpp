#include "protocol/security/PairingCode.h"

#include <cstdint>

#include "protocol/messages/Secrets.h"

namespace TrackpadProtocol {

PairingCode PairingCode::random() {
    std::array<char, digitCount> digits{};
    std::size_t filled = 0;
    std::array<std::uint8_t, 16> pool{};
    while (filled < digitCount) {
        fillRandom(pool);
        for (std::uint8_t byte : pool) {
            // 250 is the largest multiple of 10 that fits a byte; bytes above it would favour 0 to 5.
            if (byte < 250 && filled < digitCount) {
                digits[filled++] = static_cast<char>('0' + byte % 10);
            }
        }
    }
    wipe(pool);
    PairingCode code(digits);
    wipe(digits.data(), digits.size());
    return code;
}

std::optional<PairingCode> PairingCode::fromDigits(std::string_view text) {
    if (text.size() != digitCount) {
        return std::nullopt;
    }
    std::array<char, digitCount> digits{};
    for (std::size_t i = 0; i < digitCount; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            wipe(digits.data(), digits.size());
            return std::nullopt;
        }
        digits[i] = text[i];
    }
    std::optional<PairingCode> code(PairingCode{digits});
    wipe(digits.data(), digits.size());
    return code;
}

bool operator==(const PairingCode& a, const PairingCode& b) {
    return constantTimeEqual(a.passwordBytes(), b.passwordBytes());
}

PairingCode::~PairingCode() {
    wipe(digits_.data(), digits_.size());
}

std::span<const std::uint8_t> PairingCode::passwordBytes() const {
    return {reinterpret_cast<const std::uint8_t*>(digits_.data()), digits_.size()};
}

std::string PairingCode::description() const {
    std::string text(digits_.data(), 3);
    text.push_back(' ');
    text.append(digits_.data() + 3, 3);
    return text;
}

}  // namespace TrackpadProtocol
