// Wire text: cutting to 255 bytes on whole characters, control characters, UTF-8 validity.
#include <gtest/gtest.h>

#include <new>
#include <string_view>

#include "protocol/messages/Types.h"

namespace TrackpadProtocol {
namespace {

std::string repeat(const std::string& piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i)
        out += piece;
    return out;
}

TEST(TruncatedForWire, KeepsWholeCharactersWithin255Bytes) {
    const std::string family =
        "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";  // 25 bytes, one character
    const std::string flag = "\U0001F1E9\U0001F1EA";                   // 8 bytes, one character
    const std::string accented = "e\u0301";                            // 3 bytes, one character
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", ""},
        {"255 bytes unchanged", std::string(255, 'a'), std::string(255, 'a')},
        {"ASCII", std::string(300, 'a'), std::string(255, 'a')},
        {"two-byte characters", repeat("é", 128), repeat("é", 127)},
        {"four-byte characters", repeat("😀", 64), repeat("😀", 63)},
        {"emoji joined by ZWJ", repeat(family, 11), repeat(family, 10)},
        {"ZWJ sequence across the limit", std::string(240, 'a') + family, std::string(240, 'a')},
        {"flags", std::string(250, 'a') + flag, std::string(250, 'a')},
        {"combining mark stays with its letter", std::string(253, 'x') + accented, std::string(253, 'x')},
        {"combining mark within the limit", std::string(252, 'x') + accented + "yy",
         std::string(252, 'x') + accented},
        {"one character longer than 255 bytes", "a" + repeat("\u0301", 200), ""},
        {"CR LF is one character", std::string(254, 'a') + "\r\n", std::string(254, 'a')},
        {"character running far past the limit", std::string(250, 'x') + "e" + repeat("\u0301", 100),
         std::string(250, 'x')},
        {"flags paired from the start of a long run", "aaa" + repeat(flag, 40), "aaa" + repeat(flag, 31)},
        {"huge text", std::string(250, 'a') + repeat(family, 10000), std::string(250, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto cut = truncatedForWire(c.text);
        EXPECT_EQ(cut, c.expected);
        EXPECT_LE(cut.size(), maxWireStringBytes);
    }
}

TEST(TruncatedForWire, InvalidUTF8StillGivesValidTextWithinTheLimit) {
    const auto cut = truncatedForWire(std::string(300, '\xFF'));
    EXPECT_LE(cut.size(), maxWireStringBytes);
    EXPECT_TRUE(isValidUTF8(cut));
}

TEST(ContainsControlCharacter, GeneralCategoryControl) {
    struct Case {
        const char* name;
        std::string text;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", false},
        {"letters", "Passw0rd!", false},
        {"NUL", std::string("a\0b", 3), true},
        {"tab", "a\tb", true},
        {"U+001F", "\x1F", true},
        {"space", " ", false},
        {"DEL", "\x7F", true},
        {"U+0080", "\xC2\x80", true},
        {"U+009F", "\xC2\x9F", true},
        {"no-break space", "\xC2\xA0", false},
        {"zero-width joiner (format, not control)", "\u200D", false},
        {"line separator", "\u2028", false},
        {"emoji", "😀", false},
        {"invalid UTF-8", "\xFF", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(containsControlCharacter(c.text), c.expected);
    }
}

TEST(UnlockRequest, PasswordValidity) {
    struct Case {
        const char* name;
        std::string password;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"empty", "", false},
        {"one byte", "a", true},
        {"255 bytes", std::string(255, 'a'), true},
        {"256 bytes", std::string(256, 'a'), false},
        {"255 bytes of two-byte characters and one more", repeat("é", 127) + "a", true},
        {"tab", "pass\tword", false},
        {"C1 control", "pass\xC2\x85word", false},
        {"invalid UTF-8", "pass\xFFword", false},
        {"space and emoji", "pass word 😀", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ((UnlockRequest{1, c.password}.hasValidPassword()), c.valid);
    }
}

// A request's password lives on in no buffer the request leaves behind: not when it goes, not when it
// is moved from (a short password sits inside the string object itself), not past the end of a shorter
// password assigned over it.
TEST(UnlockRequest, LeavesNoPasswordBehind) {
    const auto holds = [](const unsigned char* storage, std::string_view secret) {
        const std::string_view bytes(reinterpret_cast<const char*>(storage), sizeof(UnlockRequest));
        return bytes.find(secret) != std::string_view::npos;
    };
    {
        alignas(UnlockRequest) unsigned char storage[sizeof(UnlockRequest)];
        auto* request = new (storage) UnlockRequest{1, "hunter2"};
        ASSERT_TRUE(holds(storage, "hunter2"));
        request->~UnlockRequest();
        EXPECT_FALSE(holds(storage, "hunter2"));
    }
    {
        alignas(UnlockRequest) unsigned char storage[sizeof(UnlockRequest)];
        auto* request = new (storage) UnlockRequest{1, "hunter2"};
        const UnlockRequest taken = std::move(*request);
        EXPECT_EQ(taken.password, "hunter2");
        request->~UnlockRequest();
        EXPECT_FALSE(holds(storage, "unter2"));
    }
    {
        alignas(UnlockRequest) unsigned char storage[sizeof(UnlockRequest)];
        auto* request = new (storage) UnlockRequest{1, "hunter2"};
        request->password = "pw";
        request->~UnlockRequest();
        EXPECT_FALSE(holds(storage, "ter2"));
    }
}

TEST(IsValidUTF8, RefusesMalformedSequences) {
    EXPECT_TRUE(isValidUTF8(""));
    EXPECT_TRUE(isValidUTF8("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_TRUE(isValidUTF8("\xF4\x8F\xBF\xBF"));   // U+10FFFF
    EXPECT_FALSE(isValidUTF8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(isValidUTF8("\xC0\xAF"));          // overlong
    EXPECT_FALSE(isValidUTF8("\xED\xBF\xBF"));      // surrogate
    EXPECT_FALSE(isValidUTF8("\xE2\x82"));          // cut short
    EXPECT_FALSE(isValidUTF8("\x80"));
}

}  // namespace
}  // namespace TrackpadProtocol
