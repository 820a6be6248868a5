#include "network/ServiceAdvertiser.h"

#include "network/WakeAddresses.h"

namespace CompanionNetwork {
namespace {

constexpr std::string_view replacementCharacter = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0 when it is not one
// (stray continuation byte, truncated sequence, overlong form, surrogate, beyond U+10FFFF, or NUL).
std::size_t sequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead == 0)
        return 0;
    if (lead < 0x80)
        return 1;
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;  // overlong
        if (lead == 0xED)
            high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;  // overlong
        if (lead == 0xF4)
            high = 0x8F;  // beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (byte(i) < 0x80 || byte(i) > 0xBF)
            return 0;
    return length;
}

std::string wellFormed(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    while (!text.empty()) {
        const std::size_t length = sequenceLength(text);
        if (length == 0) {
            result += replacementCharacter;
            text.remove_prefix(1);
        } else {
            result.append(text.substr(0, length));
            text.remove_prefix(length);
        }
    }
    return result;
}

}  // namespace

std::string advertisedInstanceName(std::string_view name) {
    std::string result = wellFormed(name);
    if (result.size() <= maxInstanceNameBytes)
        return result;
    // Now well-formed, so stepping back over continuation bytes finds the start of the cut character.
    std::size_t cut = maxInstanceNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(result[cut]) & 0xC0) == 0x80)
        --cut;
    result.resize(cut);
    return result;
}

std::vector<TXTRecord> makeServiceTXT(const TrackpadProtocol::UUID& hostID,
                                      std::span<const std::string> wakeAddresses) {
    std::vector<TXTRecord> records{{"id", hostID.uuidString()}, {"v", "1"}};
    std::string hardware;
    std::size_t count = 0;
    for (const std::string& address : wakeAddresses) {
        if (count == WakeAddresses::maxCount)
            break;
        const std::string normalized = WakeAddresses::normalized(address);
        if (normalized.empty())
            continue;
        if (count++ > 0)
            hardware += ',';
        hardware += normalized;
    }
    if (count > 0)
        records.push_back({"hw", std::move(hardware)});
    return records;
}

}  // namespace CompanionNetwork
