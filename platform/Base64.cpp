#include "platform/Base64.h"

namespace platform {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    std::string result;
    result.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        std::uint32_t n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        for (int shift : {18, 12, 6, 0})
            result += alphabet[(n >> shift) & 63];
    }
    if (std::size_t left = bytes.size() - i; left > 0) {
        std::uint32_t n = bytes[i] << 16;
        if (left == 2)
            n |= bytes[i + 1] << 8;
        result += alphabet[(n >> 18) & 63];
        result += alphabet[(n >> 12) & 63];
        result += left == 2 ? alphabet[(n >> 6) & 63] : '=';
        result += '=';
    }
    return result;
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> result;
    result.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        bool last = i + 4 == text.size();
        std::size_t padding = 0;
        if (last)
            padding = (text[i + 3] == '=') + (text[i + 3] == '=' && text[i + 2] == '=');
        std::uint32_t n = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            int value = j >= 4 - padding ? 0 : base64Value(text[i + j]);
            if (value < 0)
                return std::nullopt;
            n = (n << 6) | static_cast<std::uint32_t>(value);
        }
        // Bits below the last whole byte must be zero, so every byte string has exactly one spelling.
        if ((padding == 1 && (n & 0xFF) != 0) || (padding == 2 && (n & 0xFFFF) != 0))
            return std::nullopt;
        result.push_back(static_cast<std::uint8_t>(n >> 16));
        if (padding < 2)
            result.push_back(static_cast<std::uint8_t>(n >> 8));
        if (padding < 1)
            result.push_back(static_cast<std::uint8_t>(n));
    }
    return result;
}

}  // namespace platform
