// The gesture engine wired to the X server's XTEST extension on a private Xvfb, read by a client that
// decodes keys as applications do; and sleep reaching a stub logind on a private bus.
#include <X11/keysym.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "gestures/GestureEngine.h"
#include "platform/Executor.h"
#include "platform/LogCapture.h"
#include "platform/ManualExecutor.h"
#include "protocol/watch/WatchTyping.h"
#include "testing/PrivateBus.h"
#include "testing/SessionServices.h"
#include "testing/Subprocess.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

namespace Gestures {
namespace {

using namespace std::chrono_literals;
using testing_support::XKeyReader;
using testing_support::XvfbServer;
using TrackpadProtocol::Gesture;
using TrackpadProtocol::GesturePhase;
using TrackpadProtocol::KeyCombination;

class NoPower final : public SystemPower {
  public:
    bool sleep() override { return false; }
};

class GestureEngineE2ETest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        server = std::make_unique<XvfbServer>();
        reader = std::make_unique<XKeyReader>(server->displayName());
        poster = std::make_unique<SystemGestureEventPoster>(server->displayName());
        layout = std::make_unique<CurrentKeyboardLayout>(server->displayName());
        ASSERT_TRUE(poster->isAvailable());
        mappingBefore = reader->keyboardMapping();
        engine = std::make_unique<GestureEngine>(
            GestureMapping::defaultMapping(), GestureEngine::Configuration{}, *poster, hotKeys, *layout,
            [] { return std::nullopt; }, [] { return platform::monotonicSeconds(); },
            currentDockSwipeRecipe(),
            [](std::optional<Point> p) { return SpacesLayout::spaceSwipeOffset(p); },
            [](SystemAction a) { return DockGesturePreferences::isEnabled(a); }, scheduler, power);
    }
    std::vector<std::pair<std::uint32_t, bool>> keys() {
        std::vector<std::pair<std::uint32_t, bool>> seen;
        for (const auto& k : reader->keys()) {
            seen.emplace_back(k.keysym, k.press);
        }
        return seen;
    }

    std::unique_ptr<XvfbServer> server;
    std::unique_ptr<XKeyReader> reader;
    std::unique_ptr<SystemGestureEventPoster> poster;
    std::unique_ptr<CurrentKeyboardLayout> layout;
    SymbolicHotKeys hotKeys{[] { return SymbolicHotKeys::linuxDefaults(); }};
    platform::ManualExecutor executor;
    MainQueueGestureScheduler scheduler{executor};
    NoPower power;
    std::unique_ptr<GestureEngine> engine;
    std::vector<std::uint32_t> mappingBefore;
};

TEST_F(GestureEngineE2ETest, KeyCombinationsArriveWithTheirLinuxModifiers) {
    engine->handle(Message::KeyCombination{KeyCombination{
        KeyCombination::Code{123}, KeyCombination::Modifiers::command | KeyCombination::Modifiers::shift}});
    // "+" needs Shift on a us layout: the layout search adds it.
    engine->handle(Message::KeyCombination{
        KeyCombination{KeyCombination::Character{"+"}, KeyCombination::Modifiers::control}});
    poster->sync();
    ASSERT_TRUE(reader->waitForKeys(12, 5s));
    const std::vector<std::pair<std::uint32_t, bool>> expected = {
        {XK_Shift_L, true},  {XK_Super_L, true},  {XK_Left, true},      {XK_Left, false},
        {XK_Super_L, false}, {XK_Shift_L, false}, {XK_Control_L, true}, {XK_Shift_L, true},
        {XK_plus, true},     {XK_plus, false},    {XK_Shift_L, false},  {XK_Control_L, false}};
    EXPECT_EQ(keys(), expected);
}

TEST_F(GestureEngineE2ETest, TextArrivesExactlyWithCapsLockOnAndTheKeymapIsPutBack) {
    reader->setCapsLock(true);
    engine->handle(Message::Text{"aé€\n\tb"});
    poster->settle();
    ASSERT_TRUE(reader->waitForPresses(6, 5s)) << reader->text();
    EXPECT_EQ(reader->text(), "aé€\n\tb");
    EXPECT_TRUE(reader->capsLocked());
    EXPECT_EQ(reader->keyboardMapping(), mappingBefore);
}

// The keys that stand for a text's tabs and line breaks go out as exactly as its characters, whatever
// the user left locked or latched, and leave it so: from the phone as one text message, and from the
// watch as its lines with each line break a Return key combination.
TEST_F(GestureEngineE2ETest, TextFromThePhoneAndTheWatchIsExactWhateverTheUserLeftLockedOrLatched) {
    if (!testing_support::findExecutable("setxkbmap")) {
        GTEST_SKIP() << "setxkbmap is not installed (scripts/install-deps.sh brings it)";
    }
    struct Case {
        const char* what;
        const char* layout;
        const char* option;
        unsigned locked;
        unsigned latched;
    };
    constexpr unsigned shiftMask = 0x01;
    constexpr unsigned lockMask = 0x02;
    constexpr unsigned levelThreeMask = 0x80;  // Mod5, where the keymaps put Level 3
    const Case cases[] = {
        {"a sticky Shift", "us", "", 0, shiftMask},
        {"Shift Lock", "us", "caps:shiftlock", shiftMask, 0},
        {"Level 3 locked", "de", "", levelThreeMask, 0},
        {"Level 3 latched", "de", "", 0, levelThreeMask},
        {"Caps Lock", "us", "", lockMask, 0},
    };
    const std::string text = "ab\tc\nd";
    const std::pair<const char*, std::vector<Message>> sources[] = {
        {"the phone", {Message::Text{text}}},
        {"the watch", TrackpadProtocol::WatchTyping::messages(text)},
    };
    for (const Case& engaged : cases) {
        const auto keymap =
            testing_support::runCommand({"setxkbmap", "-display", server->displayName(), "-layout",
                                         engaged.layout, "-option", "", "-option", engaged.option},
                                        20s);
        ASSERT_EQ(keymap.exitCode, 0) << keymap.errors;
        for (const auto& [from, messages] : sources) {
            // A fresh client in the focus, as the user's next window would be.
            XKeyReader client(server->displayName());
            client.lockModifiers(engaged.locked, engaged.locked);
            client.latchModifiers(engaged.latched, engaged.latched);
            for (const Message& message : messages) {
                engine->handle(message);
            }
            poster->sync();
            EXPECT_TRUE(client.waitForPresses(6, 5s)) << engaged.what << ", from " << from;
            EXPECT_EQ(client.text(), text) << engaged.what << ", from " << from;
            poster->settle();
            EXPECT_EQ(client.lockedModifiers() & 0xFF, engaged.locked) << engaged.what << ", from " << from;
            EXPECT_EQ(client.latchedModifiers() & 0xFF, engaged.latched) << engaged.what << ", from " << from;
            client.lockModifiers(0xFF, 0);
            client.latchModifiers(0xFF, 0);
        }
    }
}

// Zoom is an application's shortcut, so it goes out with Control: Control+plus, twice for +0.5, which
// the client sees as the plus keysym with Control (and the Shift that types plus on us), as toolkits'
// Control++ wants; on a layout with plus unshifted, without Shift.
TEST_F(GestureEngineE2ETest, APinchOfAHalfZoomsInTwiceWithControlPlus) {
    const auto pinchInByAHalf = [&] {
        engine->handle(Message::Gesture{Gesture{Gesture::Pinch{GesturePhase::began, 0, std::nullopt}}});
        engine->handle(Message::Gesture{Gesture{Gesture::Pinch{GesturePhase::changed, 0.5f, std::nullopt}}});
        engine->handle(Message::Gesture{Gesture{Gesture::Pinch{GesturePhase::ended, 0, std::nullopt}}});
        poster->sync();
    };
    const auto twice = [](std::vector<std::pair<std::uint32_t, bool>> stroke) {
        std::vector<std::pair<std::uint32_t, bool>> both = stroke;
        both.insert(both.end(), stroke.begin(), stroke.end());
        return both;
    };
    pinchInByAHalf();
    ASSERT_TRUE(reader->waitForKeys(12, 5s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(keys(), twice({{XK_Control_L, true},
                             {XK_Shift_L, true},
                             {XK_plus, true},
                             {XK_plus, false},
                             {XK_Shift_L, false},
                             {XK_Control_L, false}}));
    for (const auto& key : reader->keys()) {
        if (key.keysym == XK_plus) {
            EXPECT_EQ(key.state & 0x5, 0x5) << "plus without Shift and Control";
        }
    }

    if (!testing_support::findExecutable("setxkbmap")) {
        return;
    }
    ASSERT_EQ(
        testing_support::runCommand({"setxkbmap", "-display", server->displayName(), "-layout", "de"}, 20s)
            .exitCode,
        0);
    std::this_thread::sleep_for(200ms);
    const std::size_t before = reader->keys().size();
    pinchInByAHalf();
    ASSERT_TRUE(reader->waitForKeys(before + 8, 5s));
    std::this_thread::sleep_for(100ms);
    const std::vector<std::pair<std::uint32_t, bool>> all = keys();
    EXPECT_EQ(std::vector(all.begin() + std::ptrdiff_t(before), all.end()),
              twice({{XK_Control_L, true}, {XK_plus, true}, {XK_plus, false}, {XK_Control_L, false}}));
}

TEST_F(GestureEngineE2ETest, AThreeFingerSwipeUpPressesTheOverviewKey) {
    engine->handle(
        Message::Gesture{Gesture{Gesture::SwipeTracking{GesturePhase::began, 3, 0, -20, std::nullopt}}});
    engine->handle(
        Message::Gesture{Gesture{Gesture::SwipeTracking{GesturePhase::changed, 3, 0, -20, std::nullopt}}});
    engine->handle(
        Message::Gesture{Gesture{Gesture::SwipeTracking{GesturePhase::ended, 3, 0, -20, std::nullopt}}});
    poster->sync();
    ASSERT_TRUE(reader->waitForKeys(2, 5s));
    const std::vector<std::pair<std::uint32_t, bool>> expected = {{XK_Super_L, true}, {XK_Super_L, false}};
    EXPECT_EQ(keys(), expected);
}

TEST(GestureSleepTest, QuickActionSleepReachesLogindOnThePrivateBus) {
    if (const auto reason = testing_support::PrivateBus::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    testing_support::PrivateBus bus;
    const std::filesystem::path script = bus.folder() / "logind.py";
    std::ofstream(script) << R"(import sys
import dbus, dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib
DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(sys.argv[1])
class Manager(dbus.service.Object):
    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="b", out_signature="")
    def Suspend(self, interactive):
        print("Suspend", bool(interactive), flush=True)
name = dbus.service.BusName("org.freedesktop.login1", bus)
Manager(bus, "/org/freedesktop/login1")
print("ready", flush=True)
GLib.MainLoop().run()
)";
    const std::filesystem::path output = bus.folder() / "logind.out";
    testing_support::Subprocess logind({"/usr/bin/python3", script.string(), bus.address()}, {}, output);
    const auto read = [&] {
        std::ifstream in(output);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    };
    ASSERT_TRUE(testing_support::waitUntil([&] { return read().find("ready") != std::string::npos; }, 10s))
        << read();
    const testing_support::ScopedEnvironment environment({{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    // The phone's quick action, through the engine.
    class NoPoster final : public GestureEventPoster {
      public:
        void post(const InputEvent&, EventTap) override {}
    } poster;
    SymbolicHotKeys hotKeys([] { return SymbolicHotKeys::linuxDefaults(); });
    platform::ManualExecutor executor;
    MainQueueGestureScheduler scheduler(executor);
    IOKitSystemPower power;
    GestureEngine engine(
        GestureMapping::defaultMapping(), GestureEngine::Configuration{}, poster, hotKeys,
        FixedKeyboardLayout::shortcutKeys(), [] { return std::nullopt; }, [] { return 0.0; },
        DockSwipeRecipe::unavailable, [](std::optional<Point>) { return 2.0; },
        [](SystemAction) { return true; }, scheduler, power);
    EXPECT_TRUE(engine.handle(Message::QuickAction{TrackpadProtocol::QuickAction::sleep}));
    EXPECT_TRUE(
        testing_support::waitUntil([&] { return read().find("Suspend False") != std::string::npos; }, 5s))
        << read();
    logind.stop();
    EXPECT_FALSE(power.sleep());
}

// "Lock Screen" from the phone locks the session through logind, else through the desktop's
// ScreenSaver service, and says once when nothing can lock it.
TEST(GestureLockTest, QuickActionLockScreenLocksTheSession) {
    if (const auto reason = testing_support::PrivateBus::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    if (const auto reason = testing_support::SessionServices::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    const auto lockFromThePhone = [](SystemPower& power) {
        class NoPoster final : public GestureEventPoster {
          public:
            void post(const InputEvent&, EventTap) override { ++posted; }
            int posted = 0;
        } poster;
        SymbolicHotKeys hotKeys([] { return SymbolicHotKeys::linuxDefaults(); });
        platform::ManualExecutor executor;
        MainQueueGestureScheduler scheduler(executor);
        GestureEngine engine(
            GestureMapping::defaultMapping(), GestureEngine::Configuration{}, poster, hotKeys,
            FixedKeyboardLayout::shortcutKeys(), [] { return std::nullopt; }, [] { return 0.0; },
            DockSwipeRecipe::unavailable, [](std::optional<Point>) { return 2.0; },
            [](SystemAction) { return true; }, scheduler, power);
        EXPECT_TRUE(engine.handle(Message::QuickAction{TrackpadProtocol::QuickAction::lockScreen}));
        EXPECT_EQ(poster.posted, 0);
    };
    {
        testing_support::PrivateBus bus;
        testing_support::SessionServices services(bus.address(), {"logind", "screensaver"}, bus.folder());
        const testing_support::ScopedEnvironment environment({{"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                                                              {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()},
                                                              {"XDG_SESSION_ID", "7"}});
        IOKitSystemPower power;
        lockFromThePhone(power);
        EXPECT_TRUE(services.waitForCall("Lock 7", 5s));
        EXPECT_EQ(services.calls(), std::vector<std::string>{"Lock 7"});
    }
    {
        testing_support::PrivateBus bus;
        testing_support::SessionServices services(bus.address(), {"screensaver"}, bus.folder());
        const testing_support::ScopedEnvironment environment(
            {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
        IOKitSystemPower power;
        lockFromThePhone(power);
        EXPECT_TRUE(services.waitForCall("ScreenSaver.Lock", 5s));
    }
    platform::LogCapture log;
    {
        testing_support::PrivateBus bus;
        const testing_support::ScopedEnvironment environment(
            {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
        IOKitSystemPower power;
        lockFromThePhone(power);
        lockFromThePhone(power);
    }
    int told = 0;
    for (const platform::LogCapture::Entry& entry : log.entries()) {
        told += entry.message.find("Lock Screen: the session could not be locked") != std::string::npos;
    }
    EXPECT_EQ(told, 1);
}

}  // namespace
}  // namespace Gestures
