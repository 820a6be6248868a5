#pragma once
// Text helpers of the watch format and typing: user-perceived characters (extended grapheme clusters),
// cuts that never split one, and well-formed UTF-8.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace TrackpadProtocol::watch_text {

// The text's characters in order, as views into it. Bytes that are not UTF-8 are kept in place, each
// counting as a character of its own.
std::vector<std::string_view> characters(std::string_view text);

// The text unchanged when its UTF-8 form has at most `limit` bytes, otherwise the longest prefix of whole
// characters that fits.
std::string prefixWithinBytes(std::string_view text, std::size_t limit);

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD, as a text of the watch's own platform
// always is.
std::string wellFormed(std::string_view text);

// The Unicode scalars of a well-formed text, as views of their bytes.
std::vector<std::string_view> scalars(std::string_view text);

}  // namespace TrackpadProtocol::watch_text
