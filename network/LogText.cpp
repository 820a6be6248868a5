#include "network/LogText.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>

namespace CompanionNetwork {

namespace {

bool isShownAsItIs(UChar32 c) {
    if (c == 0x20) {
        return true;
    }
    switch (u_charType(c)) {
        case U_CONTROL_CHAR:
        case U_FORMAT_CHAR:
        case U_SPACE_SEPARATOR:
        case U_LINE_SEPARATOR:
        case U_PARAGRAPH_SEPARATOR:
        case U_SURROGATE:
        case U_PRIVATE_USE_CHAR:
        case U_UNASSIGNED:
            return false;
        default:
            return true;
    }
}

}  // namespace

std::string quotedForLog(std::string_view text) {
    std::string out = "\"";
    out.reserve(text.size() + 2);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    std::int32_t i = 0;
    while (i < length) {
        const std::int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        char escaped[16];
        if (c < 0) {
            for (std::int32_t k = start; k < i; ++k) {
                std::snprintf(escaped, sizeof escaped, "\\x%02X", bytes[k]);
                out += escaped;
            }
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (!isShownAsItIs(c)) {
            std::snprintf(escaped, sizeof escaped, c > 0xFFFF ? "\\u{%X}" : "\\u%04X",
                          static_cast<unsigned>(c));
            out += escaped;
        } else {
            out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
        }
    }
    out += '"';
    return out;
}

}  // namespace CompanionNetwork
