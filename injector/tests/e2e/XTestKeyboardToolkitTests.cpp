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

TEST(XTestKeyboardToolkitTest, MixedTextArrivesExactlyInAQtFieldThatStallsAtTheFirstKey) {
    if (!testing_support::XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    testing_support::XvfbServer server;
    testing_support::LaggingTextField field(server.displayName(), {.stallAtFirstKey = 300ms});
    XTestKeyboard keyboard(server.displayName());
    const std::string& text = testing_support::LaggingTextField::mixedText();
    for (std::u32string& piece : testing_support::LaggingTextField::wirePieces(text)) {
        keyboard.type(std::move(piece));
    }
    keyboard.sync();
    EXPECT_EQ(field.waitForText(text, 3s, 60s), text);
    keyboard.settle();
}

}  // namespace
}  // namespace Injector
