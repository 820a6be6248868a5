#pragma once
// Text a phone chooses (its name) quoted for a log line, so that it can neither end the quotes, nor start
// a line of its own, nor reach a terminal as a control sequence, nor reorder or hide the text around it.
#include <string>
#include <string_view>

namespace CompanionNetwork {

// The text in double quotes. Quotes and backslashes get a backslash; control, format (bidirectional
// marks and overrides, zero-width characters), separator (line, paragraph and spaces other than U+0020),
// surrogate, private-use and unassigned code points become \uXXXX (\u{XXXXX} above U+FFFF), and bytes
// that are not UTF-8 become \xNN.
std::string quotedForLog(std::string_view text);

}  // namespace CompanionNetwork
