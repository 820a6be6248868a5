// Key vocabulary, hot-key parsing, the gesture mapping and its archive, and the keyboard-layout search.
#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

#include "gestures/GestureMapping.h"
#include "gestures/KeyboardLayout.h"
#include "gestures/SystemActions.h"
#include "platform/LogCapture.h"

namespace Gestures {
namespace {

using nlohmann::json;

TEST(KeyVocabularyTest, EventFlagsModifiersAndDescriptions) {
    EXPECT_EQ(KeyCode::eventFlags(123), 0xa00000u);
    EXPECT_EQ(KeyCode::eventFlags(115), 0x800000u);
    EXPECT_EQ(KeyCode::eventFlags(76), 0x200000u);
    EXPECT_EQ(KeyCode::eventFlags(36), 0u);
    EXPECT_EQ(Modifiers::fromEventFlags(0x10000 | 0x20000 | 0x80000 | 0x100000 | 0x2).rawValue, 0x1a0000u);
    EXPECT_EQ((KeyStroke{126, Modifiers::control | Modifiers::function}).description(), "⌃fnkey 126");
    EXPECT_EQ((KeyStroke{0, Modifiers::all}).description(), "⌃⌥⇧⌘fnkey 0");
    EXPECT_EQ((KeyStroke{49, {}}).description(), "key 49");
}

TEST(HotKeysTest, ParsingFallsBackOrDisablesAsTheEntryAsks) {
    EXPECT_EQ(SymbolicHotKeys::keyStroke(SystemAction::missionControl, nullptr),
              (KeyStroke{126, Modifiers{0x840000}}));
    EXPECT_EQ(SymbolicHotKeys::keyStroke(SystemAction::spotlight, nullptr),
              (KeyStroke{49, Modifiers::command}));
    const auto parse = [](SystemAction action, const char* text) {
        const json dictionary = json::parse(text);
        return SymbolicHotKeys::keyStroke(action, &dictionary);
    };
    EXPECT_EQ(
        parse(
            SystemAction::spotlight,
            R"({"64": {"enabled": false, "value": {"type": "standard", "parameters": [32, 49, 1048576]}}})"),
        std::nullopt);
    EXPECT_EQ(
        parse(SystemAction::spotlight,
              R"({"64": {"enabled": 0, "value": {"type": "standard", "parameters": [32, 49, 1048576]}}})"),
        std::nullopt);
    EXPECT_EQ(
        parse(
            SystemAction::missionControl,
            R"({"32": {"enabled": true, "value": {"type": "standard", "parameters": [65535, 126, 8650752]}}})"),
        (KeyStroke{126, Modifiers{0x840000}}));
    EXPECT_EQ(parse(SystemAction::missionControl, R"({"32": {"value": {"parameters": [65535, 65535, 0]}}})"),
              std::nullopt);
    EXPECT_EQ(parse(SystemAction::missionControl, R"({"32": {"value": {"parameters": [65535, 126]}}})"),
              defaultKeyStroke(SystemAction::missionControl));
    EXPECT_EQ(parse(SystemAction::missionControl, R"({"32": {"value": {"parameters": [1, 126, 2228224]}}})"),
              (KeyStroke{126, Modifiers::shift}));
    EXPECT_EQ(
        parse(SystemAction::missionControl, R"({"32": {"value": {"type": "x", "parameters": [1, 126, 0]}}})"),
        std::nullopt);
    EXPECT_EQ(parse(SystemAction::missionControl, R"({"32": {"value": {"parameters": [1, "a", 0]}}})"),
              defaultKeyStroke(SystemAction::missionControl));
    EXPECT_EQ(parse(SystemAction::missionControl, R"({"32": {"value": {"parameters": [1, 126, -1]}}})"),
              std::nullopt);
    EXPECT_EQ(parse(SystemAction::missionControl, R"({"32": 7})"),
              defaultKeyStroke(SystemAction::missionControl));
    EXPECT_EQ(parse(SystemAction::missionControl, R"([1, 2])"),
              defaultKeyStroke(SystemAction::missionControl));
}

TEST(HotKeysTest, TheFileIsReadAndADamagedOrMissingOneGivesTheLinuxBindings) {
    const std::string folder = ::testing::TempDir() + "/hotkeys";
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/SymbolicHotKeys.json";
    std::filesystem::remove(path);
    const auto linux = SymbolicHotKeys::linuxDefaults();
    EXPECT_EQ(*SymbolicHotKeys::readFile(path), *linux);
    EXPECT_EQ(SymbolicHotKeys::keyStroke(SystemAction::missionControl, linux.get()), (KeyStroke{55, {}}));
    EXPECT_EQ(SymbolicHotKeys::keyStroke(SystemAction::applicationWindows, linux.get()), std::nullopt);
    EXPECT_EQ(SymbolicHotKeys::keyStroke(SystemAction::moveLeftASpace, linux.get()),
              (KeyStroke{123, Modifiers::control | Modifiers::option}));
    for (const char* damaged : {"{not json", "[1, 2]", R"({"AppleSymbolicHotKeys": 3})"}) {
        std::ofstream(path) << damaged;
        EXPECT_EQ(*SymbolicHotKeys::readFile(path), *linux) << damaged;
    }
    std::ofstream(path) << R"({"AppleSymbolicHotKeys": {"64": {"enabled": false}}})";
    const SymbolicHotKeys keys([&] { return SymbolicHotKeys::readFile(path); });
    EXPECT_EQ(keys.keyStroke(SystemAction::spotlight), std::nullopt);
    EXPECT_EQ(keys.keyStroke(SystemAction::showDesktop), defaultKeyStroke(SystemAction::showDesktop));
}

TEST(GestureMappingTest, ActionsAndTrackedStyles) {
    const GestureMapping& mapping = GestureMapping::defaultMapping();
    EXPECT_EQ(mapping.action(2, SwipeDirection::left), GestureAction::none());
    EXPECT_EQ(mapping.trackedStyle(5, SwipeDirection::up),
              (TrackedSwipeStyle{TrackedSwipeStyle::Discrete{}}));
    EXPECT_EQ(
        mapping.trackedStyle(4, SwipeDirection::down),
        (TrackedSwipeStyle{TrackedSwipeStyle::Discrete{GestureAction::system(SystemAction::showDesktop)}}));
    EXPECT_EQ(mapping.trackedStyle(3, SwipeDirection::down),
              (TrackedSwipeStyle{TrackedSwipeStyle::Dock{true, -1}}));
    GestureMapping discrete = mapping;
    discrete.followsFingers = false;
    EXPECT_EQ(discrete.trackedStyle(3, SwipeDirection::left),
              (TrackedSwipeStyle{
                  TrackedSwipeStyle::Discrete{GestureAction::system(SystemAction::moveRightASpace)}}));
    GestureMapping navigation = mapping;
    navigation.threeFingerSwipes.left = GestureAction::navigationSwipe(NavigationDirection::back);
    EXPECT_EQ(navigation.trackedStyle(3, SwipeDirection::left),
              (TrackedSwipeStyle{TrackedSwipeStyle::Navigation{NavigationDirection::back}}));
    navigation.followsFingers = false;
    EXPECT_EQ(navigation.trackedStyle(3, SwipeDirection::left),
              (TrackedSwipeStyle{
                  TrackedSwipeStyle::Discrete{GestureAction::navigationSwipe(NavigationDirection::back)}}));
}

TEST(GestureMappingTest, ArchiveRoundTripsAndRefusesWhatItCannotRead) {
    const GestureMapping& mapping = GestureMapping::defaultMapping();
    EXPECT_EQ(decodeGestureMapping(encode(mapping)), mapping);
    EXPECT_EQ(encode(GestureAction::system(SystemAction::missionControl)),
              R"({"system":{"_0":"missionControl"}})");
    EXPECT_EQ(json::parse(encode(mapping))["pinch"]["shortcuts"]["zoomIn"],
              json::parse(R"({"key": {"character": {"_0": "+"}}, "modifiers": 1048576})"));
    json object = json::parse(encode(mapping));
    object.erase("followsFingers");
    object["threeFingerSwipes"]["left"] = json::parse(R"({"shortcut": {"_0": {"key": {"code": {"_0": 12}},
        "modifiers": 1310720}}})");
    const GestureMapping decoded = decodeGestureMapping(object.dump());
    EXPECT_TRUE(decoded.followsFingers);
    EXPECT_EQ(decoded.threeFingerSwipes.left,
              GestureAction::shortcut(Shortcut{Shortcut::Code{12}, Modifiers::command | Modifiers::control}));
    // A case without payload has an empty object as its body, nothing else.
    object["pinch"] = json::parse(R"({"magnify": {}})");
    EXPECT_EQ(decodeGestureMapping(object.dump()).pinch, PinchAction{PinchAction::Magnify{}});
    object["pinch"] = json::parse(R"({"magnify": true})");
    EXPECT_THROW(decodeGestureMapping(object.dump()), ArchiveError);
    object["pinch"] = json::parse(R"({"none": [1]})");
    EXPECT_THROW(decodeGestureMapping(object.dump()), ArchiveError);
    EXPECT_EQ(decodeGestureAction(R"({"none": {}})"), GestureAction::none());
    EXPECT_THROW(decodeGestureAction(R"({"none": 5})"), ArchiveError);
    object.erase("pinch");
    EXPECT_THROW(decodeGestureMapping(object.dump()), ArchiveError);
    try {
        decodeShortcutKey(R"({"code": {"_0": 12}, "character": {"_0": "q"}})");
        FAIL();
    } catch (const ArchiveError& error) {
        EXPECT_EQ(error.kind, ArchiveError::Kind::typeMismatch);
        EXPECT_STREQ(error.what(), "Invalid number of keys found, expected one.");
    }
    EXPECT_EQ(decodeShortcutKey(R"({"character": {"_0": "q"}, "other": 1})"),
              Shortcut::Key{Shortcut::Character{"q"}});
    EXPECT_THROW(decodeGestureAction(R"({"system": {}})"), ArchiveError);
    EXPECT_THROW(decodeGestureAction(R"({"system": {"_0": "teleport"}})"), ArchiveError);
    EXPECT_THROW(decodeGestureAction("not json"), ArchiveError);
    json infinite = json::parse(encode(mapping));
    infinite["pinch"]["shortcuts"]["step"] = 1e308;
    std::string text = infinite.dump();
    text.replace(text.find("1e+308"), 6, "1e400");
    EXPECT_THROW(decodeGestureMapping(text), ArchiveError);
    EXPECT_EQ(QuickActionEffect(TrackpadProtocol::QuickAction::lockScreen).value,
              (QuickActionEffect{TrackpadProtocol::QuickAction::lockScreen}.value));
    EXPECT_TRUE(std::holds_alternative<QuickActionEffect::LockSession>(
        QuickActionEffect(TrackpadProtocol::QuickAction::lockScreen).value));
}

// A damaged hot-key file is reported once for each version of it, not at every gesture.
TEST(SymbolicHotKeysTest, ADamagedFileIsReportedOncePerVersion) {
    char folder[] = "/tmp/lumivex-hotkeys-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string path = std::string(folder) + "/SymbolicHotKeys.json";
    const auto write = [&](const std::string& text) {
        std::ofstream out(path, std::ios::trunc);
        out << text;
    };
    const auto reports = [](const platform::LogCapture& log) {
        int count = 0;
        for (const platform::LogCapture::Entry& entry : log.entries()) {
            count += entry.message.find("Hot-key file") != std::string::npos;
        }
        return count;
    };
    platform::LogCapture log;
    const SymbolicHotKeys hotKeys(SymbolicHotKeys::fileReader(path));
    write("{damaged");
    for (int gesture = 0; gesture < 3; ++gesture) {
        EXPECT_EQ(hotKeys.keyStroke(SystemAction::showDesktop), (KeyStroke{2, Modifiers::command}));
    }
    EXPECT_EQ(reports(log), 1);
    write("[\"damaged otherwise\"]");
    hotKeys.keyStroke(SystemAction::showDesktop);
    hotKeys.keyStroke(SystemAction::showDesktop);
    EXPECT_EQ(reports(log), 2);
    write(R"({"AppleSymbolicHotKeys": {"36": {"enabled": false}}})");
    EXPECT_EQ(hotKeys.keyStroke(SystemAction::showDesktop), std::nullopt);
    EXPECT_EQ(reports(log), 2);
    std::filesystem::remove_all(folder);
}

struct Keymap {
    explicit Keymap(const char* layout) {
        context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        const xkb_rule_names names{"evdev", "pc105", layout, nullptr, nullptr};
        keymap = xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    ~Keymap() {
        xkb_keymap_unref(keymap);
        xkb_context_unref(context);
    }
    xkb_context* context;
    xkb_keymap* keymap;
};

TEST(KeyboardLayoutTest, TypingSearchOnLayoutsBuiltFromNames) {
    const Keymap us("us");
    ASSERT_NE(us.keymap, nullptr);
    EXPECT_EQ(searchKeymap(us.keymap, 0, "="), (KeyResult{24, false}));
    EXPECT_EQ(searchKeymap(us.keymap, 0, "+"), (KeyResult{24, true}));
    EXPECT_EQ(searchKeymap(us.keymap, 0, "q"), (KeyResult{12, false}));
    EXPECT_EQ(searchKeymap(us.keymap, 0, "Q"), (KeyResult{12, true}));
    EXPECT_EQ(searchKeymap(us.keymap, 0, "?"), (KeyResult{44, true}));
    EXPECT_EQ(searchKeymap(us.keymap, 0, "é"), std::nullopt);
    EXPECT_EQ(searchKeymap(us.keymap, 0, ""), std::nullopt);

    const Keymap de("de");
    ASSERT_NE(de.keymap, nullptr);
    EXPECT_EQ(searchKeymap(de.keymap, 0, "z"), (KeyResult{16, false}));  // where us has y
    EXPECT_EQ(searchKeymap(de.keymap, 0, "="), (KeyResult{29, true}));   // Shift+0
    EXPECT_EQ(searchKeymap(de.keymap, 0, "+"), (KeyResult{30, false}));  // where us has ]
    EXPECT_EQ(searchKeymap(de.keymap, 0, "ä"), (KeyResult{39, false}));
    EXPECT_EQ(searchKeymap(de.keymap, 0, "a\u0308"), (KeyResult{39, false}));  // canonically equal
    EXPECT_EQ(searchKeymap(de.keymap, 0, "["), std::nullopt);

    const Keymap ruUs("ru,us");
    ASSERT_NE(ruUs.keymap, nullptr);
    EXPECT_EQ(asciiCapableGroup(ruUs.keymap, 0), 1u);
    EXPECT_EQ(searchKeymap(ruUs.keymap, 1, "q"), (KeyResult{12, false}));
    EXPECT_EQ(FixedKeyboardLayout::shortcutKeys().keyCode("+"), (KeyResult{24, true}));
    EXPECT_EQ(FixedKeyboardLayout::shortcutKeys().menuKeyEquivalent("+", Modifiers::command), std::nullopt);
}

}  // namespace
}  // namespace Gestures
