// The layout of a private Xvfb as the shortcuts see it: the keymap the server really has, however it
// was loaded, and followed through changes.
#include <gtest/gtest.h>

#include "gestures/KeyboardLayout.h"
#include "testing/Subprocess.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

namespace Gestures {
namespace {

using testing_support::XvfbServer;
using namespace std::chrono_literals;

constexpr std::uint16_t keyY = 16;  // the key right of T
constexpr std::uint16_t keyZ = 6;   // the key right of left Shift

TEST(KeyboardLayoutE2ETest, TheServersOwnKeymapIsSearchedHoweverItWasLoaded) {
    if (!XvfbServer::isInstalled() || !testing_support::findExecutable("setxkbmap") ||
        !testing_support::findExecutable("xkbcomp")) {
        GTEST_SKIP() << "Xvfb, setxkbmap or xkbcomp is not installed (scripts/install-deps.sh brings them)";
    }
    XvfbServer server;
    const std::string display = server.displayName();
    CurrentKeyboardLayout layout(display);
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{keyZ, false}));

    // A German keymap loaded with xkbcomp leaves the rule names the server publishes as they were.
    const auto loaded = testing_support::runCommand(
        {"sh", "-c", "setxkbmap -display \"$0\" -layout de -print | xkbcomp - \"$0\"", display}, 20s);
    ASSERT_EQ(loaded.exitCode, 0) << loaded.errors;
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{keyY, false}));
    EXPECT_EQ(layout.keyCode("y"), (KeyResult{keyZ, false}));

    // And back with setxkbmap, which announces a new keyboard.
    ASSERT_EQ(testing_support::runCommand({"setxkbmap", "-display", display, "-layout", "us"}, 20s).exitCode,
              0);
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{keyZ, false}));
}

// The group is followed from the server's announcements of its changes, not asked for at every lookup.
TEST(KeyboardLayoutE2ETest, FollowsTheLockedGroup) {
    if (!XvfbServer::isInstalled() || !testing_support::findExecutable("setxkbmap")) {
        GTEST_SKIP() << "Xvfb or setxkbmap is not installed (scripts/install-deps.sh brings them)";
    }
    XvfbServer server;
    const std::string display = server.displayName();
    ASSERT_EQ(
        testing_support::runCommand({"setxkbmap", "-display", display, "-layout", "us,de"}, 20s).exitCode, 0);
    CurrentKeyboardLayout layout(display);
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{keyZ, false}));
    testing_support::XKeyReader keys(display);
    keys.lockGroup(1);
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{keyY, false}));
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{keyY, false}));
    keys.lockGroup(0);
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{keyZ, false}));
    // A new keyboard with the groups swapped, which may or may not keep the locked group.
    keys.lockGroup(1);
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{keyY, false}));
    ASSERT_EQ(
        testing_support::runCommand({"setxkbmap", "-display", display, "-layout", "de,us"}, 20s).exitCode, 0);
    const std::uint16_t expected = keys.lockedGroup() == 1 ? keyZ : keyY;
    EXPECT_EQ(layout.keyCode("z"), (KeyResult{expected, false}));
}

}  // namespace
}  // namespace Gestures
