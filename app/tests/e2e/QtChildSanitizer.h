#pragma once
// The companion runs Qt's xcb platform, whose keyboard setup (libxkbcommon-x11) hands strndup() a
// buffer without a terminator. strndup never reads past its bound, but AddressSanitizer's strict string
// checks measure the whole string and report it; the child therefore runs without that one check.
#include <cstdlib>
#include <string>

inline std::string companionSanitizerOptions() {
    const char* inherited = std::getenv("ASAN_OPTIONS");
    return std::string(inherited ? inherited : "") + ":strict_string_checks=0";
}
