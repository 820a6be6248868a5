#pragma once
// Standard Base64 with padding, as files and helper lines carry bytes.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

std::string base64Encode(std::span<const std::uint8_t> bytes);
// Strict: only the standard alphabet, whole groups of four, padding only at the end, and zero bits below
// the last whole byte, so every byte string has exactly one spelling. None when the text breaks a rule.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace platform
