// Text typed into a real toolkit's text field whose UI thread lags: a Qt 6 field reads the keyboard
// mapping only when it catches up with its events, so each character the keymap lacks must still be
// bound then.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "injector/XTestKeyboard.h"
#include "testing/LaggingTextField.h"
#include "testing/XvfbServer.h"

namespace Injector {
namespace {

using namespace std::chrono_literals;

std::u32string scalarsOf(const std::string& utf8) {
    std::u32string scalars;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t scalar = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k) {
            scalar = (scalar << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        }
        scalars += scalar;
        i += length;
    }
    return scalars;
}

// The text as a phone sends it: pieces of at most 255 bytes, each a text of its own.
std::vector<std::u32string> wirePieces(const std::string& utf8) {
    std::vector<std::u32string> pieces;
    std::size_t start = 0;
    while (start < utf8.size()) {
        std::size_t end = std::min(utf8.size(), start + 255);
        while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) {
            --end;
        }
        pieces.push_back(scalarsOf(utf8.substr(start, end - start)));
        start = end;
    }
    return pieces;
}

TEST(XTestKeyboardToolkitTest, MixedTextArrivesExactlyInAQtFieldThatStallsAtTheFirstKey) {
    if (!testing_support::XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    testing_support::XvfbServer server;
    testing_support::LaggingTextField field(server.displayName(), {.stallAtFirstKey = 300ms});
    XTestKeyboard keyboard(server.displayName());
    const std::string& text = testing_support::LaggingTextField::mixedText();
    for (std::u32string& piece : wirePieces(text)) {
        keyboard.type(std::move(piece));
    }
    keyboard.sync();
    EXPECT_EQ(field.waitForText(text, 3s, 60s), text);
    keyboard.settle();
}

}  // namespace
}  // namespace Injector
