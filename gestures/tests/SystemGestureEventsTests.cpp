// The event builders: modifier presses around a key, typed text, and the gesture and dock events.
#include <gtest/gtest.h>

#include <bit>

#include "gestures/SystemGestureEvents.h"

namespace Gestures {
namespace {

using Injector::EventField;
using Injector::EventType;

struct Key {
    EventType type;
    std::uint16_t code;
    std::uint64_t flags;
    friend bool operator==(const Key&, const Key&) = default;
    friend std::ostream& operator<<(std::ostream& out, const Key& k) {
        return out << "{" << int(k.type) << ", " << k.code << ", 0x" << std::hex << k.flags << std::dec
                   << "}";
    }
};

std::vector<Key> keys(const EventList& events) {
    std::vector<Key> result;
    for (const InputEvent& event : events) {
        EXPECT_EQ(event.integerField(EventField::eventSourceUserData), 0x54524B50);
        result.push_back({event.type, event.keyCode, event.flags});
    }
    return result;
}

constexpr auto down = EventType::keyDown;
constexpr auto up = EventType::keyUp;
constexpr auto flags = EventType::flagsChanged;

TEST(KeyStrokeEventsTest, ModifiersArePressedInOrderAroundTheKeyWithItsExtraFlags) {
    EXPECT_EQ(keys(makeKeyStrokeEvents(0, {}, 0x54524B50)), (std::vector<Key>{{down, 0, 0}, {up, 0, 0}}));
    EXPECT_EQ(keys(makeKeyStrokeEvents(126, {}, 0x54524B50)),
              (std::vector<Key>{{down, 126, 0xa00000}, {up, 126, 0xa00000}}));
    EXPECT_EQ(keys(makeKeyStrokeEvents(96, {}, 0x54524B50)).front().flags, 0x800000u);
    EXPECT_EQ(keys(makeKeyStrokeEvents(82, {}, 0x54524B50)).front().flags, 0x200000u);
    EXPECT_EQ(keys(makeKeyStrokeEvents(21, Modifiers::command | Modifiers::shift, 0x54524B50)),
              (std::vector<Key>{{flags, 56, 0x20000},
                                {flags, 55, 0x120000},
                                {down, 21, 0x120000},
                                {up, 21, 0x120000},
                                {flags, 55, 0x20000},
                                {flags, 56, 0}}));
    EXPECT_EQ(
        keys(makeKeyStrokeEvents(126, Modifiers{0x840000}, 0x54524B50)),
        (std::vector<Key>{{flags, 59, 0x40000}, {down, 126, 0xa40000}, {up, 126, 0xa40000}, {flags, 59, 0}}));
    EXPECT_EQ(keys(makeKeyStrokeEvents(12, Modifiers{0x140000}, 0x54524B50)),
              (std::vector<Key>{{flags, 59, 0x40000},
                                {flags, 55, 0x140000},
                                {down, 12, 0x140000},
                                {up, 12, 0x140000},
                                {flags, 55, 0x40000},
                                {flags, 59, 0}}));
    // Fn has no Linux key: its modifiers are not tapped alone.
    EXPECT_TRUE(makeKeyStrokeEvents(63, Modifiers::command, 0x54524B50).empty());
}

TEST(TextEventsTest, LineBreaksTabsChunksAndControlCharacters) {
    const EventList aLineB = makeTextEvents("a\nb", 0x54524B50);
    ASSERT_EQ(aLineB.size(), 6u);
    EXPECT_EQ(aLineB[0].unicodeText, u"a");
    EXPECT_EQ(aLineB[1].unicodeText, u"a");
    EXPECT_EQ(keys({aLineB[2], aLineB[3]}), (std::vector<Key>{{down, 36, 0}, {up, 36, 0}}));
    EXPECT_EQ(aLineB[4].unicodeText, u"b");
    EXPECT_EQ(makeTextEvents("\r\n", 1).size(), 2u);
    EXPECT_EQ(makeTextEvents("\xE2\x80\xA8", 1).front().keyCode, 36);
    EXPECT_EQ(makeTextEvents("\t", 1).front().keyCode, 48);
    EXPECT_TRUE(makeTextEvents("\a", 1).empty());
    EXPECT_TRUE(makeTextEvents("", 1).empty());

    // A family emoji of 11 UTF-16 units is one character and one pair.
    const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
    const EventList one = makeTextEvents(family, 1);
    ASSERT_EQ(one.size(), 2u);
    EXPECT_EQ(one[0].unicodeText.size(), 11u);
    // Eleven emoji of two units each make 22 units: split between scalars into 20 and 2.
    const std::u32string units22 =
        U"\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600"
        U"\U0001F600\U0001F600\U0001F600\U0001F600";
    const std::vector<std::u16string> split = utf16Chunks(units22);
    ASSERT_EQ(split.size(), 2u);
    EXPECT_EQ(split[0].size(), 20u);
    EXPECT_EQ(split[1].size(), 2u);
}

TEST(GestureEventsTest, NavigationMagnifyAndLegacyDockFields) {
    const EventList back = makeNavigationSwipeEvents(NavigationDirection::back, {5, 6});
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].type, EventType::gesture);
    EXPECT_EQ(back[0].integerField(EventField(110)), 16);
    EXPECT_EQ(back[0].integerField(EventField(115)), 4);
    EXPECT_EQ(back[0].integerField(EventField(132)), 1);
    EXPECT_EQ(back[1].integerField(EventField(115)), 0);
    EXPECT_EQ(back[1].integerField(EventField(132)), 4);
    EXPECT_EQ(
        makeNavigationSwipeEvents(NavigationDirection::forward, {}).front().integerField(EventField(115)), 8);

    const InputEvent magnify = makeMagnifyEvent(GesturePhaseValue::changed, 0.2, {1, 2});
    EXPECT_EQ(magnify.integerField(EventField(110)), 8);
    EXPECT_EQ(magnify.integerField(EventField(132)), 2);
    EXPECT_EQ(magnify.doubleField(EventField(113)), 0.2);

    const EventList dock = makeLegacyDockSwipeEvents(GesturePhaseValue::cancelled, true, 0.5, -2.0, {0, 0});
    ASSERT_EQ(dock.size(), 2u);
    EXPECT_EQ(dock[0].type, EventType::dockControl);
    EXPECT_EQ(dock[0].integerField(EventField(41)), 33231);
    EXPECT_EQ(dock[0].integerField(EventField(132)), 8);
    EXPECT_EQ(dock[0].integerField(EventField(134)), 8);
    EXPECT_EQ(dock[0].integerField(EventField(135)), std::int64_t(std::bit_cast<std::uint32_t>(0.5f)));
    EXPECT_EQ(dock[0].doubleField(EventField(119)), double(std::bit_cast<float>(2u)));
    EXPECT_EQ(dock[0].doubleField(EventField(123)), 2.0);
    EXPECT_EQ(dock[0].doubleField(EventField(129)), -2.0);
    EXPECT_EQ(dock[0].doubleField(EventField(165)), 2.0);
    EXPECT_EQ(dock[1].integerField(EventField(41)), 33231);
    EXPECT_EQ(makeLegacyDockSwipeEvents(GesturePhaseValue::changed, false, 0.5, 3, {})[0].doubleField(
                  EventField(130)),
              0.0);

    EXPECT_EQ(SpacesLayout::spaceSwipeOffset(std::optional<int>{}), 2.0);
    EXPECT_EQ(SpacesLayout::spaceSwipeOffset(std::optional<int>{1}), 2.0);
    EXPECT_DOUBLE_EQ(SpacesLayout::spaceSwipeOffset(std::optional<int>{4}), 1.0 / 3 + 1.0);
    EXPECT_FALSE(DockGesturePreferences::isEnabled(SystemAction::applicationWindows));
    EXPECT_TRUE(DockGesturePreferences::isEnabled(SystemAction::missionControl));
    EXPECT_EQ(currentDockSwipeRecipe(), DockSwipeRecipe::unavailable);
}

}  // namespace
}  // namespace Gestures
