// A phone's name in a log line: nothing it contains may forge, reorder or hide text around it.
#include <gtest/gtest.h>

#include "network/LogText.h"

namespace CompanionNetwork::tests {
namespace {

TEST(LogText, ControlFormatAndSeparatorCharactersAreEscaped) {
    EXPECT_EQ(quotedForLog("Anna's phone 📱"), "\"Anna's phone 📱\"");
    EXPECT_EQ(quotedForLog("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quotedForLog("x\ny\x1b[2J\x7f\xc2\x85"), "\"x\\u000Ay\\u001B[2J\\u007F\\u0085\"");
    // Bidirectional overrides, isolates and marks would reorder the digits that follow the name.
    EXPECT_EQ(quotedForLog("evil\u202E321 654"), "\"evil\\u202E321 654\"");
    EXPECT_EQ(quotedForLog("\u2066\u2067\u2068\u2069\u200E\u200F\u061C"),
              "\"\\u2066\\u2067\\u2068\\u2069\\u200E\\u200F\\u061C\"");
    // Line and paragraph separators start a line in some viewers; odd spaces and invisible characters
    // hide what the name really is.
    EXPECT_EQ(quotedForLog("a\u2028b\u2029c\xc2\x85"), "\"a\\u2028b\\u2029c\\u0085\"");
    EXPECT_EQ(quotedForLog("a\u00A0b\u3000c\u200Bd\uFEFF"), "\"a\\u00A0b\\u3000c\\u200Bd\\uFEFF\"");
    EXPECT_EQ(quotedForLog("\U000E0041\U000F0000"), "\"\\u{E0041}\\u{F0000}\"");
    // Bytes that are not UTF-8 are shown as bytes.
    EXPECT_EQ(quotedForLog("a\xff\xc3"), "\"a\\xFF\\xC3\"");
    EXPECT_EQ(quotedForLog(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

}  // namespace
}  // namespace CompanionNetwork::tests
