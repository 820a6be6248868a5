#pragma once
// The JSON form of the trusted-device list:
//   {"format": 1, "hostID": "<UUID>", "devices": [{"id": "<UUID>", "name": "...", "pairedAt": "<date>",
//    "lastConnectedAt": "<date>" or null, "tokenDigest": "<base64 of 32 bytes>"}],
//    "tlsPrivateKey": "<base64 of PKCS#8 DER>"}
// Dates are ISO-8601 in UTC ("2024-05-01T09:30:00.25Z"; the fraction only when there is one, to the
// nanosecond). Kept apart from the store so that the parser can be fuzzed without touching files.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "network/TrustedDevice.h"

namespace CompanionNetwork {

struct TrustedDeviceFile {
    // Larger files are refused as damaged rather than read into memory.
    static constexpr std::size_t maxBytes = 16 * 1024 * 1024;

    static std::string encode(const TrustedDeviceList& list);
    // Throws TrustedDeviceStoreError: unsupportedFormat for a format above the current one (whatever the
    // rest holds), unreadable for anything else that is not a well-formed list of the current format.
    static TrustedDeviceList decode(std::span<const std::uint8_t> bytes);

    static std::string formatDate(Date date);
    // The date's UTC calendar fields, as both the list file and quarantine names spell them.
    struct UTCFields {
        int year;
        unsigned month, day;
        int hour, minute, second;
        long long nanoseconds;
    };
    static UTCFields utcFields(Date date);
    // Only the form formatDate writes, and only dates a Date can hold; none otherwise.
    static std::optional<Date> parseDate(std::string_view text);

    static std::string base64Encode(std::span<const std::uint8_t> bytes);
    // Standard alphabet with padding, no white space; none for anything else.
    static std::optional<Data> base64Decode(std::string_view text);
};

}  // namespace CompanionNetwork
