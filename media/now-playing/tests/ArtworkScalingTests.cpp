// The artwork scaler over the real codecs: size, budget, orientation, transparency and refusals.
#include <gtest/gtest.h>

#include <algorithm>

#include "media/now-playing/ArtworkScaler.h"
#include "platform/imaging/Codecs.h"

namespace media {
namespace {

namespace imaging = platform::imaging;

// A picture with detail everywhere (so it does not compress to nothing): a colour ramp with noise.
imaging::Bitmap picture(int width, int height, std::uint8_t alpha = 255) {
    imaging::Bitmap bitmap = *imaging::Bitmap::create(width, height, imaging::PixelFormat::rgba, 1u << 30);
    std::uint8_t* pixels = bitmap.mutablePixels();
    std::uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            noise = noise * 1103515245 + 12345;
            std::uint8_t* p = pixels + y * bitmap.stride() + 4 * x;
            p[0] = static_cast<std::uint8_t>(x * 255 / width);
            p[1] = static_cast<std::uint8_t>(y * 255 / height);
            p[2] = static_cast<std::uint8_t>(noise >> 24);
            p[3] = alpha;
        }
    }
    return bitmap;
}

Data jpeg(int width, int height) {
    return *imaging::encodeJPEG(picture(width, height).view(), 90);
}

// The JPEG with an EXIF orientation tag put in after its start marker.
Data withOrientation(Data data, std::uint16_t orientation) {
    const Data tiff{'M',  'M',  0, 42, 0, 0, 0, 8,  // header, IFD at 8
                    0,    1,                        // one entry
                    0x01, 0x12, 0, 3,  0, 0, 0, 1, 0, static_cast<std::uint8_t>(orientation), 0, 0,  // SHORT
                    0,    0,    0, 0};  // no next IFD
    Data segment{0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    const std::size_t length = segment.size() - 2;
    segment[2] = static_cast<std::uint8_t>(length >> 8);
    segment[3] = static_cast<std::uint8_t>(length);
    data.insert(data.begin() + 2, segment.begin(), segment.end());
    return data;
}

imaging::Size sizeOf(const Data& data) {
    const auto info = imaging::readImageInfo(data);
    return info ? imaging::Size{info->width, info->height} : imaging::Size{};
}

TEST(ArtworkScalingTest, LargeArtworkBecomesASmallJpegWithinTheBudget) {
    const ArtworkScaler scaler(360, 61440);
    const std::optional<Data> wide = scaler.scale(jpeg(2000, 1000));
    ASSERT_TRUE(wide);
    EXPECT_EQ(sizeOf(*wide), (imaging::Size{360, 180}));
    EXPECT_LE(wide->size(), 61440u);
    EXPECT_EQ(imaging::detectFormat(*wide), imaging::ImageFormat::jpeg);

    const std::optional<Data> small = scaler.scale(*imaging::encodePNG(picture(100, 100).view(), 6));
    ASSERT_TRUE(small);
    EXPECT_EQ(sizeOf(*small), (imaging::Size{100, 100}));

    // A budget no side can meet with this much detail: a smaller side that fits, or none.
    const std::optional<Data> tight = ArtworkScaler(360, 4000).scale(jpeg(640, 480));
    ASSERT_TRUE(tight);
    EXPECT_LE(tight->size(), 4000u);
    EXPECT_LT(sizeOf(*tight).width, 360);
    EXPECT_EQ(ArtworkScaler(360, 0).scale(jpeg(64, 64)), std::nullopt);
}

TEST(ArtworkScalingTest, OrientationIsAppliedAndTransparencyIsBlack) {
    const std::optional<Data> turned = ArtworkScaler(360, 61440).scale(withOrientation(jpeg(400, 200), 6));
    ASSERT_TRUE(turned);
    EXPECT_EQ(sizeOf(*turned), (imaging::Size{180, 360}));

    const std::optional<Data> clear =
        ArtworkScaler(64, 61440).scale(*imaging::encodePNG(picture(64, 64, 0).view(), 6));
    ASSERT_TRUE(clear);
    imaging::DecodeOptions options;
    options.maxPixels = 1u << 20;
    const auto decoded = imaging::decodeImage(*clear, options);
    ASSERT_TRUE(decoded);
    int brightest = 0;
    for (const std::uint8_t byte : decoded->bytes()) {
        brightest = std::max<int>(brightest, byte == 255 ? 0 : byte);  // alpha bytes are 255
    }
    EXPECT_LE(brightest, 8);
}

TEST(ArtworkScalingTest, CorruptUnknownAndHugeArtworkGivesNone) {
    const ArtworkScaler scaler(360, 61440);
    Data truncated = jpeg(300, 300);
    truncated.resize(truncated.size() / 3);
    const Data garbage(1000, 0x42);
    // A PNG header that claims 100000 x 100000 pixels.
    Data huge = *imaging::encodePNG(picture(8, 8).view(), 6);
    huge[16] = 0, huge[17] = 1, huge[18] = 0x86, huge[19] = 0xA0;
    huge[20] = 0, huge[21] = 1, huge[22] = 0x86, huge[23] = 0xA0;
    for (const Data& bad :
         {garbage, huge, Data{0xFF, 0xD8}, Data(ArtworkScaler::maximumSourceBytes + 1, 0)}) {
        EXPECT_EQ(scaler.scale(bad), std::nullopt);
    }
    // A truncated JPEG decodes to what it holds, or nothing; never more than the budget.
    const std::optional<Data> partial = scaler.scale(truncated);
    EXPECT_TRUE(!partial || partial->size() <= 61440u);
}

}  // namespace
}  // namespace media

namespace media {
namespace {

TEST(ArtworkScalingTest, ArtworkOfMorePixelsThanArtworkEverNeedsIsNotDecoded) {
    // A flat picture compresses to little, so only the pixel cap can stop it.
    constexpr int width = 4200;
    constexpr int height = 4100;
    static_assert(static_cast<std::uint64_t>(width) * height > ArtworkScaler::maximumSourcePixels);
    imaging::Bitmap flat = *imaging::Bitmap::create(width, height, imaging::PixelFormat::rgba, UINT64_MAX);
    std::fill_n(flat.mutablePixels(), flat.bytes().size(), std::uint8_t{200});
    const Data large = *imaging::encodeJPEG(flat.view(), 90);
    ASSERT_LE(large.size(), ArtworkScaler::maximumSourceBytes);
    EXPECT_EQ(ArtworkScaler(360, 61440).scale(large), std::nullopt);
}

}  // namespace
}  // namespace media
