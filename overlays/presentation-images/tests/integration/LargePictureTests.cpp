// A picture at the pixel limit: 10000 x 10000 is exactly the largest accepted, and it arrives bounded
// to 4096 on its longer side.
#include <gtest/gtest.h>

#include "overlays/presentation-images/PresentationImageDecoder.h"
#include "overlays/presentation-images/tests/PictureFiles.h"

namespace PresentationImages {
namespace {

TEST(PresentationImageDecoder, APictureOfExactlyTheLimitDecodesToTheLongestSide) {
    auto png = testing::blackPNG(10000, 10000);
    auto picture = PresentationImageDecoder::decode(png, PresentationImageDecoder::maxPixelSize);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->size(), (Annotations::Size{4096, 4096}));
    EXPECT_TRUE(picture->isOpaque);
}

}  // namespace
}  // namespace PresentationImages
