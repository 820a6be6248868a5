#include <gtest/gtest.h>

#include <cstring>

#include "overlays/presentation-images/PresentationImageDecoder.h"
#include "overlays/presentation-images/tests/PictureFiles.h"
#include "platform/imaging/Codecs.h"
#include "testing/CraftedImages.h"

namespace PresentationImages {
namespace {

using platform::imaging::Bitmap;
using platform::imaging::PixelFormat;

Bitmap solid(int width, int height, std::uint8_t alpha) {
    auto bitmap = *Bitmap::create(width, height, PixelFormat::bgra, 1u << 26);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t pixel[] = {200, 100, 50, alpha};
            std::memcpy(bitmap.mutablePixels() + bitmap.stride() * y + 4 * x, pixel, 4);
        }
    }
    return bitmap;
}

TEST(PresentationImageDecoder, KeepsSmallPicturesAndBoundsLargeOnes) {
    auto jpeg = *platform::imaging::encodeJPEG(solid(100, 50, 255).view(), 90);
    auto small = PresentationImageDecoder::decode(jpeg, PresentationImageDecoder::maxPixelSize);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->size(), (Annotations::Size{100, 50}));
    EXPECT_TRUE(small->isOpaque);

    auto wide = *platform::imaging::encodePNG(solid(5000, 100, 128).view(), 1);
    auto bounded = PresentationImageDecoder::decode(wide, PresentationImageDecoder::maxPixelSize);
    ASSERT_TRUE(bounded);
    EXPECT_EQ(bounded->size(), (Annotations::Size{4096, 82}));
    EXPECT_FALSE(bounded->isOpaque);
}

TEST(PresentationImageDecoder, RefusesWhatItCannotOrMustNotDecode) {
    auto png = *platform::imaging::encodePNG(solid(8, 8, 255).view(), 6);
    EXPECT_FALSE(PresentationImageDecoder::decode({}, 4096));
    EXPECT_FALSE(PresentationImageDecoder::decode(png, 0));
    std::vector<std::uint8_t> gif{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0};
    EXPECT_FALSE(PresentationImageDecoder::decode(gif, 4096));
    // Too many pixels by one row, claimed by a header over next to no data.
    EXPECT_FALSE(PresentationImageDecoder::decode(testing::pngHeader(10001, 10000), 4096));
    EXPECT_FALSE(PresentationImageDecoder::decode(testing::pngHeader(100000, 1), 4096));  // no pixel data
    EXPECT_FALSE(PresentationImageDecoder::decode(testing::pngHeader(0, 10), 4096));

    // A truncated picture gives none rather than a half-grey one.
    auto jpeg = *platform::imaging::encodeJPEG(solid(64, 64, 255).view(), 90);
    jpeg.resize(jpeg.size() / 2);
    EXPECT_FALSE(PresentationImageDecoder::decode(jpeg, 4096));

    // Arithmetic-coded JPEGs, sequential or progressive, are not decoded, and the line says why.
    for (const auto& arithmetic :
         {testing_support::allACSequentialJPEG(64), testing_support::repeatedDCScanJPEG(64, 2)}) {
        std::string refusal;
        EXPECT_FALSE(PresentationImageDecoder::decode(arithmetic, 4096, &refusal));
        EXPECT_EQ(refusal, "A picture was not shown: it is an arithmetic-coded JPEG, which is not decoded");
    }
}

}  // namespace
}  // namespace PresentationImages
