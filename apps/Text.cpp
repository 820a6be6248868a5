#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <string>
#include <string_view>

#include "apps/AppCatalogTypes.h"

namespace Apps {

namespace {

// The length of the whitespace or newline character at `text[i]`, or 0.
std::size_t spaceAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) {
        return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
    };
    const unsigned b0 = byte(i);
    if (b0 == ' ' || (b0 >= 0x09 && b0 <= 0x0D)) {
        return 1;
    }
    if (b0 == 0xC2 && (byte(i + 1) == 0x85 || byte(i + 1) == 0xA0)) {
        return 2;
    }
    if (b0 == 0xE1 && byte(i + 1) == 0x9A && byte(i + 2) == 0x80) {
        return 3;  // U+1680
    }
    if (b0 == 0xE2 && byte(i + 1) == 0x80) {
        const unsigned b2 = byte(i + 2);
        if ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) {
            return 3;  // U+2000...U+200A, U+2028, U+2029, U+202F
        }
    }
    if (b0 == 0xE2 && byte(i + 1) == 0x81 && byte(i + 2) == 0x9F) {
        return 3;  // U+205F
    }
    if (b0 == 0xE3 && byte(i + 1) == 0x80 && byte(i + 2) == 0x80) {
        return 3;  // U+3000
    }
    return 0;
}

// The length of the whitespace character that ends at `end`, or 0.
std::size_t spaceEndingAt(std::string_view text, std::size_t end) {
    for (std::size_t length = 1; length <= 3 && length <= end; ++length) {
        if (spaceAt(text, end - length) == length) {
            return length;
        }
    }
    return 0;
}

}  // namespace

std::string trimmedText(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t length = spaceAt(text, begin);
        if (length == 0) {
            break;
        }
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const std::size_t length = spaceEndingAt(text, end);
        if (length == 0) {
            break;
        }
        end -= length;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string lowercasedText(std::string_view text) {
    bool ascii = true;
    for (char c : text) {
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    std::string out;
    if (ascii) {
        out.reserve(text.size());
        for (char c : text) {
            out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        return out;
    }
    icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    unicode.toLower(icu::Locale::getRoot());
    unicode.toUTF8String(out);
    return out;
}

}  // namespace Apps
