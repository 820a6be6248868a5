#include <gtest/gtest.h>

#include "screen-view/H264Encoder.h"

namespace ScreenView {
namespace {

TEST(H264Encoder, BitRateFollowsThePixelRateWithinItsBounds) {
    EXPECT_EQ(H264Encoder::bitRate(1920, 1080, 30), 6220800);
    EXPECT_EQ(H264Encoder::bitRate(1280, 720, 30), 2764800);
    EXPECT_EQ(H264Encoder::bitRate(3840, 2160, 60), 24000000);
    EXPECT_EQ(H264Encoder::bitRate(640, 360, 10), 1500000);
    EXPECT_EQ(H264Encoder::bitRate(640, 360, 0), 1500000);
}

TEST(NalUnits, LengthHeadersBecomeFourBytesAndBrokenUnitsAreRefused) {
    const Data four = {0, 0, 0, 2, 0x65, 0x88, 0, 0, 0, 1, 0x41};
    EXPECT_EQ(NalUnits::withFourByteLengths(four, 4), four);
    EXPECT_EQ(NalUnits::withFourByteLengths({0, 2, 0x65, 0x88, 0, 1, 0x41}, 2), four);
    EXPECT_EQ(NalUnits::withFourByteLengths({2, 0x65, 0x88, 1, 0x41}, 1), four);
    EXPECT_FALSE(NalUnits::withFourByteLengths({0, 0, 0x65}, 2));        // a zero-length unit
    EXPECT_FALSE(NalUnits::withFourByteLengths({0, 3, 0x65, 0x88}, 2));  // runs past the end
    EXPECT_FALSE(NalUnits::withFourByteLengths({0, 1, 0x65, 0}, 2));     // a header cut short
    EXPECT_FALSE(NalUnits::withFourByteLengths({}, 4));
    EXPECT_FALSE(NalUnits::withFourByteLengths(four, 3));
}

}  // namespace
}  // namespace ScreenView
