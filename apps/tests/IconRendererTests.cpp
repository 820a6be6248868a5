// SVG and XPM icons drawn by the helper process: hostile files cost the caller nothing but "no icon".
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "apps/AppCatalog.h"
#include "apps/IconImages.h"
#include "apps/SystemAppCatalogProvider.h"
#include "apps/tests/TempTree.h"

namespace Apps {
namespace {

using testing::TempTree;

IconRenderer helper() {
    return IconRenderer(std::filesystem::path(LUMIVEX_ICON_HELPER));
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// About 1 KB: a convolution of order 21 makes the system's SVG library abort the process drawing it.
std::string convolutionBomb() {
    std::string kernel;
    for (int i = 0; i < 21 * 21; ++i) {
        kernel += i == 0 ? "1" : " 1";
    }
    return R"(<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64"><filter id="f">)"
           R"(<feConvolveMatrix order="21" kernelMatrix=")" +
           kernel + R"svg("/></filter><rect width="64" height="64" fill="#00f" filter="url(#f)"/></svg>)svg";
}

TEST(IconRenderer, AnSVGThatCrashesItsDrawingIsNoIconAndTheCatalogGoesOn) {
    TempTree tree;
    tree.write("applications/bomb.desktop", testing::desktopFile("Bomb", "Icon=bomb\n"));
    tree.write("applications/fine.desktop", testing::desktopFile("Fine", "Icon=fine\n"));
    tree.write("icons/hicolor/index.theme",
               "[Icon Theme]\nName=Hicolor\nDirectories=scalable/apps\n"
               "[scalable/apps]\nSize=128\nMinSize=8\nMaxSize=512\nType=Scalable\n");
    tree.write("icons/hicolor/scalable/apps/bomb.svg", convolutionBomb());
    tree.write(
        "icons/hicolor/scalable/apps/fine.svg",
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"><rect width="8" height="8" fill="#0f0"/></svg>)");
    auto provider = std::make_shared<SystemAppCatalogProvider>(
        InstalledAppScanner({tree.root() / "applications"}, 2), 1.0, 10.0, ":no-display",
        IconTheme({tree.root() / "icons"}, {}, "hicolor"), helper());
    auto catalog = AppCatalog::make(provider, {}, std::nullopt, AppIconScaler(61440), {});

    EXPECT_FALSE(catalog->icon("bomb", 64).image);
    EXPECT_FALSE(catalog->icon("bomb", 64).image);  // from the cache, the helper is not asked again
    const auto fine = catalog->icon("fine", 64);
    ASSERT_TRUE(fine.image);
    EXPECT_EQ(decodeIcon(*fine.image, 1)->width, 64);
}

TEST(IconRenderer, XPMIsDrawnWithoutAnyFileWrittenAndLargeOnesAreScaledDown) {
    // The helper may write no file at all: a loader that spooled the data to a temporary file would be
    // stopped, and this would give no icon.
    const std::string xpm =
        "/* XPM */\nstatic char * icon[] = {\n/* columns rows colors chars-per-pixel */\n"
        "\"4 2 2 1\",\n\"  c None\",\n\"x c #FF0000\",\n\"xx  \",\n\"xx  \"};\n";
    const auto image = decodeIcon(bytesOf(xpm), 64, helper());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 4);
    EXPECT_EQ(image->height, 2);
    EXPECT_EQ(image->pixels[0], 255);
    EXPECT_EQ(image->pixels[3], 255);
    EXPECT_EQ(image->pixels[2 * 4 + 3], 0);
    const auto small = decodeIcon(bytesOf(xpm), 2, helper());
    ASSERT_TRUE(small);
    EXPECT_EQ(small->width, 2);
    EXPECT_EQ(small->height, 1);
    // A header claiming more rows than the file has.
    EXPECT_FALSE(decodeIcon(bytesOf("/* XPM */\n{\"4 90 1 1\", \"x c #FF0000\", \"xxxx\"};"), 64, helper()));
}

TEST(IconRenderer, AHelperThatHangsIsKilledAtTheTimeOutAndOneThatLiesIsRefused) {
    const std::string svg = R"(<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"/>)";
    const IconRenderer hanging({"/bin/sh", "-c", "exec sleep 30", "sh"}, std::chrono::milliseconds(300));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(hanging.render(bytesOf(svg), 16));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    // Claims 16x16 but sends fewer pixels; then one claiming more than was asked for.
    const IconRenderer shortAnswer({"/bin/sh", "-c", R"(printf '\020\0\0\0\020\0\0\0abcd')", "sh"},
                                   std::chrono::seconds(5));
    EXPECT_FALSE(shortAnswer.render(bytesOf(svg), 16));
    const IconRenderer oversize({"/bin/sh", "-c", R"(printf '\377\0\0\0\001\0\0\0')", "sh"},
                                std::chrono::seconds(5));
    EXPECT_FALSE(oversize.render(bytesOf(svg), 16));
    EXPECT_FALSE(IconRenderer(std::filesystem::path("/nonexistent/helper")).render(bytesOf(svg), 16));
}

TEST(IconRenderer, AStopKillsTheHelperDrawingAndLetsNoOtherStartUntilTheNextStart) {
    TempTree tree;
    tree.write("applications/slow.desktop", testing::desktopFile("Slow", "Icon=slow\n"));
    tree.write("icons/hicolor/index.theme",
               "[Icon Theme]\nName=Hicolor\nDirectories=scalable/apps\n"
               "[scalable/apps]\nSize=128\nMinSize=8\nMaxSize=512\nType=Scalable\n");
    tree.write("icons/hicolor/scalable/apps/slow.svg",
               R"(<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"/>)");
    const std::filesystem::path started = tree.root() / "started";
    // A helper that says it has started and then draws for a minute.
    const IconRenderer slow({"/bin/sh", "-c", "echo >> \"$0\"; exec sleep 60", started.string()},
                            std::chrono::seconds(60));
    SystemAppCatalogProvider provider(InstalledAppScanner({tree.root() / "applications"}, 2), 1.0, 10.0,
                                      ":no-display", IconTheme({tree.root() / "icons"}, {}, "hicolor"), slow);
    const auto begin = std::chrono::steady_clock::now();
    std::optional<IconBitmap> icon;
    std::thread asking([&] { icon = provider.icon("slow", 64); });
    while (!std::filesystem::exists(started)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    provider.stop();
    asking.join();
    EXPECT_FALSE(icon);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(30)) << "the helper was killed";
    std::filesystem::remove(started);
    EXPECT_FALSE(provider.icon("slow", 64));
    EXPECT_FALSE(std::filesystem::exists(started)) << "no helper starts while stopped";
}

}  // namespace
}  // namespace Apps
