#include <gtest/gtest.h>

#include <thread>

#include "apps/AppCatalog.h"
#include "apps/IconImages.h"
#include "apps/tests/FakeAppProvider.h"

namespace Apps {
namespace {

using testing::FakeAppProvider;
using testing::solidImage;

const IconRenderer& helper() {
    static const IconRenderer renderer{std::filesystem::path(LUMIVEX_ICON_HELPER)};
    return renderer;
}

IconBitmap decoded(const std::vector<std::uint8_t>& png) {
    std::optional<IconBitmap> image = decodeIcon(png, 16);
    EXPECT_TRUE(image);
    return image.value_or(IconBitmap{});
}

// Pseudo-random opaque noise: PNG cannot compress it, so only small squares fit a budget.
IconBitmap noise(int side) {
    IconBitmap image = solidImage(side, side);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < image.pixels.size(); i += 4) {
        for (int c = 0; c < 3; ++c) {
            state = state * 1664525 + 1013904223;
            image.pixels[i + c] = static_cast<std::uint8_t>(state >> 24);
        }
    }
    return image;
}

TEST(AppIconScaler, ClampsTheBudgetAndNeverEnlarges) {
    EXPECT_EQ(AppIconScaler(-5).maxByteCount(), 0);
    EXPECT_EQ(AppIconScaler(1'000'000).maxByteCount(), 61440);
    const AppIconScaler scaler(61440);
    auto png = scaler.pngData(solidImage(32, 32), 256);
    ASSERT_TRUE(png);
    EXPECT_EQ(decoded(*png).width, 32);
    png = scaler.pngData(solidImage(1, 1), 256);
    ASSERT_TRUE(png);
    EXPECT_EQ(decoded(*png).width, 1);
}

TEST(AppIconScaler, DrawsCentredKeepingTheAspectRatio) {
    auto png = AppIconScaler(61440).pngData(solidImage(512, 256), 128);
    ASSERT_TRUE(png);
    const IconBitmap image = decoded(*png);
    ASSERT_EQ(image.width, 128);
    ASSERT_EQ(image.height, 128);
    const auto alphaAt = [&](int x, int y) {
        return image.pixels[(static_cast<std::size_t>(y) * 128 + x) * 4 + 3];
    };
    EXPECT_EQ(alphaAt(64, 0), 0);
    EXPECT_EQ(alphaAt(64, 31), 0);
    EXPECT_EQ(alphaAt(64, 32), 255);
    EXPECT_EQ(alphaAt(64, 95), 255);
    EXPECT_EQ(alphaAt(64, 96), 0);
    EXPECT_EQ(alphaAt(0, 64), 255);
}

TEST(AppIconScaler, ShrinksUntilThePNGFitsAndGivesUpBelowSixteen) {
    const IconBitmap busy = noise(256);
    auto png = AppIconScaler(61440).pngData(busy, 256);
    ASSERT_TRUE(png);
    EXPECT_LE(png->size(), 61440u);
    // 3 bytes a pixel of noise: 256 and 192 are too large, 144 (62 KB) is borderline, 108 fits.
    const int side = decoded(*png).width;
    EXPECT_TRUE(side == 144 || side == 108) << side;
    EXPECT_FALSE(AppIconScaler(0).pngData(busy, 256));
    EXPECT_FALSE(AppIconScaler(100).pngData(busy, 21));  // one side tried only
}

TEST(AppIconScaler, DecodesFilesAndRefusesWhatIsNoImage) {
    const AppIconScaler scaler(61440);
    EXPECT_FALSE(scaler.pngData(std::span<const std::uint8_t>{}, 64));
    const std::vector<std::uint8_t> garbage{'h', 'e', 'l', 'l', 'o'};
    EXPECT_FALSE(scaler.pngData(garbage, 64));
    std::vector<std::uint8_t> truncated = *encodePNG(solidImage(64, 64));
    truncated.resize(truncated.size() / 2);
    EXPECT_FALSE(scaler.pngData(truncated, 64));
    // Wider than any icon may be: refused before its pixels are decoded.
    EXPECT_FALSE(scaler.pngData(*encodePNG(solidImage(maxIconSide + 1, 1)), 64));
    EXPECT_TRUE(scaler.pngData(*encodePNG(solidImage(maxIconSide, 1)), 64));

    const std::string svg =
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="512" height="512"><rect width="512" height="512" fill="#0000ff"/></svg>)";
    auto png =
        scaler.pngData(std::span(reinterpret_cast<const std::uint8_t*>(svg.data()), svg.size()), 64, helper());
    ASSERT_TRUE(png);
    const IconBitmap image = decoded(*png);
    EXPECT_EQ(image.width, 64);
    EXPECT_EQ(image.pixels[2], 255);  // blue, opaque
    EXPECT_EQ(image.pixels[3], 255);
}

TEST(AppIconScaler, AnSVGCannotPullInOtherFiles) {
    const std::filesystem::path red = std::filesystem::temp_directory_path() / "lumivex-apps-red.png";
    const std::vector<std::uint8_t> redPNG = *encodePNG(solidImage(8, 8));
    FILE* file = std::fopen(red.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(redPNG.data(), 1, redPNG.size(), file);
    std::fclose(file);
    const std::string svg =
        R"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="8" height="8">)"
        R"(<image width="8" height="8" xlink:href="file://)" +
        red.string() + R"("/></svg>)";
    std::optional<IconBitmap> image =
        decodeIcon(std::span(reinterpret_cast<const std::uint8_t*>(svg.data()), svg.size()), 8, helper());
    std::filesystem::remove(red);
    ASSERT_TRUE(image);
    for (std::size_t i = 3; i < image->pixels.size(); i += 4) {
        ASSERT_EQ(image->pixels[i], 0) << "the referenced file was drawn";
    }
}

struct IconFixture : ::testing::Test {
    std::shared_ptr<FakeAppProvider> provider = std::make_shared<FakeAppProvider>();
    std::shared_ptr<AppCatalog> catalog =
        AppCatalog::make(provider, {}, std::nullopt, AppIconScaler(61440), {});
};

TEST_F(IconFixture, ClampsTheSizeAndSharesEntriesAcrossLetterCase) {
    provider->image = solidImage(512, 512);
    auto icon = catalog->icon("Org.Example.App", 0);
    EXPECT_EQ(provider->lastIconRequest, (std::pair<std::string, int>{"Org.Example.App", 16}));
    ASSERT_TRUE(icon.image);
    EXPECT_EQ(decoded(*icon.image).width, 16);
    icon = catalog->icon("org.example.app", 8);
    EXPECT_EQ(icon.bundleID, "org.example.app");
    EXPECT_TRUE(icon.image);
    EXPECT_EQ(provider->iconCalls, 1);
    catalog->icon("org.example.app", 1000);
    catalog->icon("org.example.app", 300);
    EXPECT_EQ(provider->lastIconRequest.second, 256);
    EXPECT_EQ(provider->iconCalls, 2);
}

TEST_F(IconFixture, RefusesBadIdsWithoutAskingAndRemembersMissingIcons) {
    EXPECT_FALSE(catalog->icon("", 64).image);
    EXPECT_FALSE(catalog->icon(std::string(256, 'a'), 64).image);
    EXPECT_EQ(provider->iconCalls, 0);
    EXPECT_FALSE(catalog->icon("unknown", 64).image);
    EXPECT_FALSE(catalog->icon("unknown", 64).image);
    EXPECT_EQ(provider->iconCalls, 1);
}

TEST_F(IconFixture, TheCacheEmptiesAtItsLimitAndOnInstalledChanges) {
    provider->image = solidImage(16, 16);
    for (int i = 0; i < 128; ++i) {
        catalog->icon("app" + std::to_string(i), 64);
    }
    catalog->icon("app0", 64);
    EXPECT_EQ(provider->iconCalls, 128);
    catalog->icon("app128", 64);  // the 129th key empties the cache first
    catalog->icon("app128", 64);
    catalog->icon("app1", 64);
    EXPECT_EQ(provider->iconCalls, 130);

    catalog->start();
    provider->emit(AppCatalogEvent::installedAppsChanged);
    catalog->icon("app128", 64);
    EXPECT_EQ(provider->iconCalls, 131);
}

TEST_F(IconFixture, AnIconRenderedAcrossAnInstalledChangeIsNotCached) {
    catalog->start();
    provider->image = solidImage(16, 16);
    provider->iconLatch.arm();
    TrackpadProtocol::AppIcon answered;
    std::thread asker([&] { answered = catalog->icon("a", 64); });
    provider->iconLatch.waitEntered();
    provider->emit(AppCatalogEvent::installedAppsChanged);
    provider->iconLatch.release();
    asker.join();
    EXPECT_TRUE(answered.image);
    catalog->icon("a", 64);
    EXPECT_EQ(provider->iconCalls, 2);
}

}  // namespace
}  // namespace Apps
