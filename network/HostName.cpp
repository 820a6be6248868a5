#include "network/HostName.h"

#include <unistd.h>

#include <climits>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace CompanionNetwork {

namespace {

bool isWhiteSpace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

// Length of the UTF-8 sequence starting at `at` and its code point; (1, invalid) for a stray byte.
std::pair<std::size_t, char32_t> decodeAt(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    std::uint8_t lead = byte(at);
    std::size_t length = lead < 0x80           ? 1
                         : (lead >> 5) == 0x6  ? 2
                         : (lead >> 4) == 0xE  ? 3
                         : (lead >> 3) == 0x1E ? 4
                                               : 0;
    if (length == 0 || at + length > text.size())
        return {1, 0xFFFFFFFF};
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return {1, 0xFFFFFFFF};
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    return {length, c};
}

// Shell-style value of an environment-like file: "…" with backslash escapes, '…' literal, or bare.
std::string unquote(std::string_view value) {
    std::string result;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c == '"') {
            for (++i; i < value.size() && value[i] != '"'; ++i) {
                if (value[i] == '\\' && i + 1 < value.size())
                    ++i;
                result += value[i];
            }
        } else if (c == '\'') {
            for (++i; i < value.size() && value[i] != '\''; ++i)
                result += value[i];
        } else if (c == '\\' && i + 1 < value.size()) {
            result += value[++i];
        } else {
            result += c;
        }
    }
    return result;
}

}  // namespace

std::string HostName::trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        auto [length, c] = decodeAt(text, begin);
        if (!isWhiteSpace(c))
            break;
        begin += length;
    }
    std::size_t end = begin;  // end of the last character that is not white space
    for (std::size_t at = begin; at < text.size();) {
        auto [length, c] = decodeAt(text, at);
        at += length;
        if (!isWhiteSpace(c))
            end = at;
    }
    return std::string(text.substr(begin, end - begin));
}

std::optional<std::string> HostName::prettyHostName(std::string_view machineInfo) {
    std::optional<std::string> result;
    std::size_t start = 0;
    while (start <= machineInfo.size()) {
        std::size_t stop = machineInfo.find('\n', start);
        if (stop == std::string_view::npos)
            stop = machineInfo.size();
        std::string_view line = machineInfo.substr(start, stop - start);
        start = stop + 1;
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#' || line[first] == ';')
            continue;
        line.remove_prefix(first);
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (line.substr(0, key.size()) == key)
            result = unquote(line.substr(key.size()));  // the last one wins
    }
    return result;
}

std::string HostName::current() {
    return current("/etc/machine-info");
}

std::string HostName::current(const std::filesystem::path& machineInfo) {
    std::ifstream file(machineInfo);
    if (file) {
        std::stringstream contents;
        contents << file.rdbuf();
        if (auto pretty = prettyHostName(contents.str())) {
            std::string name = trimmed(*pretty);
            if (!name.empty())
                return name;
        }
    }
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return {};
    return trimmed(buffer);
}

}  // namespace CompanionNetwork
