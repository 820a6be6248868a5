#include <gtest/gtest.h>

#include "screen-view/ScreenDisplayList.h"

namespace ScreenView {
namespace {

using ScreenDisplayList::Description;
using TrackpadProtocol::ScreenDisplay;

Description monitor(std::uint32_t id, int x, int width, bool main = false, std::string name = "DP-1") {
    return Description{id, std::move(name), width, 1080, {x, 0, width, 1080}, main, false};
}

TEST(ScreenDisplayList, OrdersCapsAndMarksTheDisplays) {
    std::vector<Description> descriptions = {monitor(1, 0, 1920), monitor(2, 1920, 1280, true),
                                             monitor(0, 0, 10),       // no id
                                             monitor(3, 3200, 0),     // no size
                                             monitor(1, 5000, 800)};  // repeated id: the first stays
    descriptions.push_back(Description{4, "eDP-1", 2560, 1600, {3200, 0, 2560, 1600}, false, true});
    const auto displays = ScreenDisplayList::screenDisplays(descriptions, ScreenDisplayList::Point{100, 100});
    ASSERT_EQ(displays.size(), 3u);
    EXPECT_EQ(displays[0].id, 2u);
    EXPECT_EQ(displays[0].traits, ScreenDisplay::Traits::main);
    EXPECT_EQ(displays[1].id, 1u);
    EXPECT_EQ(displays[1].traits, ScreenDisplay::Traits::containsPointer);
    EXPECT_EQ(displays[1].pixelWidth, 1920);
    EXPECT_EQ(displays[2].traits, ScreenDisplay::Traits::builtIn);

    // Without a main display the first one still carries the trait; a pointer outside every display
    // marks none.
    const auto plain = ScreenDisplayList::screenDisplays({monitor(7, 0, 800), monitor(8, 800, 800)},
                                                         ScreenDisplayList::Point{-5, 10});
    EXPECT_EQ(plain[0].traits, ScreenDisplay::Traits::main);
    EXPECT_EQ(plain[1].traits, ScreenDisplay::Traits{});
}

TEST(ScreenDisplayList, AtMost32AndThePointerOnlyAmongThem) {
    std::vector<Description> many;
    for (std::uint32_t id = 1; id <= 40; ++id) {
        many.push_back(monitor(id, static_cast<int>(id - 1) * 100, 100));
    }
    const auto displays = ScreenDisplayList::screenDisplays(many, ScreenDisplayList::Point{3950, 5});
    ASSERT_EQ(displays.size(), 32u);
    for (const auto& display : displays) {
        EXPECT_FALSE(display.traits.contains(ScreenDisplay::Traits::containsPointer));
    }
}

TEST(ScreenDisplayList, NamesAreCutAtACharacterBoundaryAndSizesClamped) {
    std::string name(254, 'a');
    name += "\xc3\xa9";  // a two-byte character across the 255-byte limit
    Description big = monitor(1, 0, 70000, false, name);
    const auto displays = ScreenDisplayList::screenDisplays({big}, std::nullopt);
    EXPECT_EQ(displays[0].name, std::string(254, 'a'));
    EXPECT_EQ(displays[0].pixelWidth, 65535);
}

TEST(ScreenDisplayList, TheDirectorysDisplaysWithMirrorsLeftOut) {
    std::vector<platform::DisplayInfo> displays{{4, "DP-1", {1920, 0, 1280, 800}, true, false},
                                                {2, "eDP-1", {0, 0, 1920, 1080}, false, true},
                                                {9, "HDMI-1", {0, 0, 1920, 1080}, false, false}};
    const auto described = ScreenDisplayList::descriptions(displays);
    ASSERT_EQ(described.size(), 2u);
    EXPECT_EQ(described[0].id, 4u);
    EXPECT_EQ(described[0].bounds, (DisplayBounds{1920, 0, 1280, 800}));
    EXPECT_EQ(described[0].pixelWidth, 1280);
    EXPECT_TRUE(described[0].isMain);
    EXPECT_EQ(described[1].name, "eDP-1");
    EXPECT_TRUE(described[1].isBuiltIn);
}

}  // namespace
}  // namespace ScreenView
