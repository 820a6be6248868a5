// Our BGRX to I420 BT.709 converter against libswscale's (what the stream used before) on synthetic screens,
// its SIMD path against its plain one bit for bit, and conversion of a band of rows only.
extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "screen-view/Bt709Converter.h"
#include "screen-view/FrameConverter.h"

namespace ScreenView {
namespace {

struct Bgrx {
    int width, height, stride;
    std::vector<std::uint8_t> pixels;
    Bgrx(int w, int h)
        : width(w), height(h), stride(w * 4 + 12), pixels(static_cast<std::size_t>(stride) * h) {}
    std::uint8_t* at(int x, int y) { return pixels.data() + static_cast<std::size_t>(y) * stride + 4 * x; }
};

Bgrx noise(int width, int height, unsigned seed) {
    Bgrx image(width, height);
    std::mt19937 random(seed);
    for (auto& byte : image.pixels) {
        byte = static_cast<std::uint8_t>(random());
    }
    return image;
}

// Every 8-bit step of each channel and of grey, with hard black and white edges like text between them.
Bgrx sweepsAndEdges(int width, int height) {
    Bgrx image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = image.at(x, y);
            const auto level = static_cast<std::uint8_t>(x % 256);
            const int band = (y / 8) % 6;
            p[0] = band == 0 || band == 3 ? level : 0;
            p[1] = band == 1 || band == 3 ? level : 0;
            p[2] = band == 2 || band == 3 ? level : 0;
            if (band == 4) {  // glyph-like: one-pixel strokes
                std::memset(p, ((x / 3 + y) % 5 == 0) ? 0 : 255, 3);
            } else if (band == 5) {
                p[0] = static_cast<std::uint8_t>(x * 7), p[1] = static_cast<std::uint8_t>(y * 13),
                p[2] = static_cast<std::uint8_t>(x + y);
            }
            p[3] = 0xA5;  // the unused byte must not matter
        }
    }
    return image;
}

VideoFrame withSwscale(const Bgrx& image) {
    VideoFrame out(image.width, image.height);
    SwsContext* context =
        sws_getContext(image.width, image.height, AV_PIX_FMT_BGR0, image.width, image.height,
                       AV_PIX_FMT_YUV420P, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
    sws_setColorspaceDetails(context, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    const std::uint8_t* source[] = {image.pixels.data()};
    const int sourceStride[] = {image.stride};
    std::uint8_t* target[] = {out.dataY(), out.dataU(), out.dataV()};
    const int targetStride[] = {out.strideY(), out.strideUV(), out.strideUV()};
    sws_scale(context, source, sourceStride, 0, image.height, target, targetStride);
    sws_freeContext(context);
    return out;
}

// Largest difference per plane (Y, U, V).
std::array<int, 3> maxDifference(const VideoFrame& a, const VideoFrame& b) {
    std::array<int, 3> worst{};
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            worst[0] =
                std::max(worst[0], std::abs(a.dataY()[y * a.strideY() + x] - b.dataY()[y * b.strideY() + x]));
        }
    }
    for (int y = 0; y < a.height() / 2; ++y) {
        for (int x = 0; x < a.width() / 2; ++x) {
            worst[1] = std::max(worst[1],
                                std::abs(a.dataU()[y * a.strideUV() + x] - b.dataU()[y * b.strideUV() + x]));
            worst[2] = std::max(worst[2],
                                std::abs(a.dataV()[y * a.strideUV() + x] - b.dataV()[y * b.strideUV() + x]));
        }
    }
    return worst;
}

VideoFrame converted(const Bgrx& image) {
    VideoFrame out(image.width, image.height);
    FrameConverter converter;
    EXPECT_TRUE(converter.convert(image.pixels.data(), image.stride, image.width, image.height, out));
    return out;
}

TEST(Bt709Converter, WithinOneLevelOfSwscaleOnSyntheticScreensAndExactOnKnownColours) {
    for (const Bgrx& image : {sweepsAndEdges(1920, 1080), noise(1280, 720, 7), noise(646, 360, 8)}) {
        const auto worst = maxDifference(converted(image), withSwscale(image));
        EXPECT_LE(worst[0], 1) << image.width << "x" << image.height;
        EXPECT_LE(worst[1], 1);
        EXPECT_LE(worst[2], 1);
    }
    // Limited range: black 16/128/128, white 235/128/128, red 63/102/240.
    const struct {
        std::uint8_t b, g, r, y, u, v;
    } known[] = {{0, 0, 0, 16, 128, 128},
                 {255, 255, 255, 235, 128, 128},
                 {0, 0, 255, 63, 102, 240},
                 {128, 128, 128, 126, 128, 128}};
    for (const auto& colour : known) {
        Bgrx image(16, 2);
        for (int i = 0; i < 32; ++i) {
            std::uint8_t* p = image.pixels.data() + (i / 16) * image.stride + 4 * (i % 16);
            p[0] = colour.b, p[1] = colour.g, p[2] = colour.r;
        }
        const VideoFrame out = converted(image);
        EXPECT_EQ(out.dataY()[15], colour.y);
        EXPECT_EQ(out.dataU()[7], colour.u);
        EXPECT_EQ(out.dataV()[7], colour.v);
    }
}

TEST(Bt709Converter, SimdMatchesPlainBitForBitAndBandsTouchOnlyTheirRows) {
    // Widths that leave 0, 2, 6 and 14 pixels for the narrower paths.
    using Bt709Converter::Instructions;
    for (int width : {1920, 642, 30, 1918}) {
        const Bgrx image = noise(width, 64, static_cast<unsigned>(width));
        VideoFrame plain(width, 64);
        ASSERT_TRUE(Bt709Converter::convertRowsUsing(Instructions::plain, image.pixels.data(), image.stride,
                                                     plain, 0, 64));
        for (Instructions simd : {Instructions::ssse3, Instructions::avx2}) {
            VideoFrame out(width, 64);
            if (Bt709Converter::convertRowsUsing(simd, image.pixels.data(), image.stride, out, 0, 64)) {
                EXPECT_EQ(maxDifference(out, plain), (std::array<int, 3>{0, 0, 0})) << width;
            } else {
                std::printf("this processor lacks %s\n", simd == Instructions::avx2 ? "AVX2" : "SSSE3");
            }
        }
    }
    // Rows 9 to 20 widen to 8 to 22 (the chroma of rows 8 to 21 reads rows 7 to 22): the rows around them
    // keep what was there.
    const Bgrx image = noise(64, 32, 3);
    VideoFrame band(64, 32);
    std::memset(band.dataY(), 1, static_cast<std::size_t>(band.strideY()) * 32);
    Bt709Converter::convertRows(image.pixels.data(), image.stride, band, 9, 21);
    const VideoFrame whole = converted(image);
    for (int y = 0; y < 32; ++y) {
        const bool inside = y >= 8 && y < 22;
        EXPECT_EQ(
            std::memcmp(band.dataY() + y * band.strideY(), whole.dataY() + y * whole.strideY(), 64) == 0,
            inside)
            << "row " << y;
    }
    for (int row : {4, 10}) {
        EXPECT_EQ(
            std::memcmp(band.dataU() + row * band.strideUV(), whole.dataU() + row * whole.strideUV(), 32), 0);
        EXPECT_EQ(
            std::memcmp(band.dataV() + row * band.strideUV(), whole.dataV() + row * whole.strideUV(), 32), 0);
    }
}

}  // namespace
}  // namespace ScreenView
