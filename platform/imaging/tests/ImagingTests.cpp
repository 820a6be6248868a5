#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "platform/imaging/Bitmap.h"
#include "platform/imaging/Codecs.h"
#include "platform/imaging/Exif.h"

namespace platform::imaging {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Pixel = std::array<std::uint8_t, 4>;

Bitmap filled(int width, int height, PixelFormat format, auto colour) {
    auto bitmap = Bitmap::create(width, height, format, 1u << 30);
    EXPECT_TRUE(bitmap);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Pixel p = colour(x, y);
            std::memcpy(bitmap->mutablePixels() + bitmap->stride() * y + x * 4, p.data(), 4);
        }
    return *bitmap;
}

Pixel at(const Bitmap& bitmap, int x, int y) {
    Pixel p;
    std::memcpy(p.data(), bitmap.pixels() + bitmap.stride() * y + x * 4, 4);
    return p;
}

bool near(const Pixel& a, const Pixel& b, int tolerance) {
    for (int i = 0; i < 4; ++i)
        if (std::abs(a[i] - b[i]) > tolerance)
            return false;
    return true;
}

// A smooth BGRA gradient, which JPEG keeps well.
Bitmap gradient(int width, int height) {
    return filled(width, height, PixelFormat::bgra, [&](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(x * 255 / width), static_cast<std::uint8_t>(y * 255 / height), 128,
                     255};
    });
}

DecodeOptions options(std::uint64_t maxPixels = 100'000'000, int longestSide = 0) {
    DecodeOptions o;
    o.maxPixels = maxPixels;
    o.longestSide = longestSide;
    return o;
}

// An APP1 EXIF segment carrying `orientation` (little-endian TIFF), inserted right after the JPEG's SOI.
Bytes withOrientation(Bytes jpeg, std::uint16_t orientation) {
    const Bytes tiff{'I', 'I', 42, 0, 8, 0, 0, 0,                                       // header, IFD at 8
                     1, 0,                                                              // one entry
                     0x12, 0x01, 3, 0, 1, 0, 0, 0, static_cast<std::uint8_t>(orientation), 0, 0, 0,  // SHORT
                     0, 0, 0, 0};
    Bytes segment{0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    segment.insert(segment.end(), tiff.begin(), tiff.end());
    segment[2] = static_cast<std::uint8_t>((segment.size() - 2) >> 8);
    segment[3] = static_cast<std::uint8_t>(segment.size() - 2);
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putBigEndian(Bytes& bytes, std::size_t offset, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

TEST(ImagingPNG, RoundTripsExactlyInEveryPixelFormat) {
    const Bitmap rgba = filled(37, 23, PixelFormat::rgba, [](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(x * 7), static_cast<std::uint8_t>(y * 11), 200,
                     static_cast<std::uint8_t>((x + y) * 5)};
    });
    for (PixelFormat out : {PixelFormat::rgba, PixelFormat::bgra}) {
        auto png = encodePNG(rgba.view(), 6);
        ASSERT_TRUE(png);
        auto o = options();
        o.format = out;
        auto decoded = decodePNG(*png, o);
        ASSERT_TRUE(decoded);
        ASSERT_EQ(decoded->width(), 37);
        ASSERT_EQ(decoded->height(), 23);
        const Pixel a = at(rgba, 5, 9);
        const Pixel b = at(*decoded, 5, 9);
        const Pixel asRGBA = out == PixelFormat::rgba ? b : Pixel{b[2], b[1], b[0], b[3]};
        EXPECT_EQ(asRGBA, a);
        if (out == PixelFormat::rgba) {
            EXPECT_TRUE(decoded->samePixels(rgba));
        }
    }
    // An opaque image is written without alpha (smaller), and comes back opaque.
    const Bitmap bgrx = filled(64, 64, PixelFormat::bgrx, [](int x, int y) {
        return Pixel{static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 9, 0x12};
    });
    auto fast = encodePNG(bgrx.view(), 0);
    auto small = encodePNG(bgrx.view(), 9);
    ASSERT_TRUE(fast && small);
    EXPECT_LT(small->size(), fast->size());
    auto decoded = decodeImage(*small, options());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(at(*decoded, 3, 4), (Pixel{3, 4, 9, 255}));
}

TEST(ImagingJPEG, EncodesAtTheGivenQualityAndDecodesCloseToTheSource) {
    const Bitmap source = gradient(320, 240);
    auto high = encodeJPEG(source.view(), 95);
    auto low = encodeJPEG(source.view(), 20);
    ASSERT_TRUE(high && low);
    EXPECT_LT(low->size(), high->size());
    auto info = readImageInfo(*high);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->format, ImageFormat::jpeg);
    EXPECT_EQ(info->uprightSize(), (Size{320, 240}));
    auto decoded = decodeImage(*high, options());
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width(), 320);
    for (auto [x, y] : {std::pair{10, 10}, {160, 120}, {300, 200}})
        EXPECT_TRUE(near(at(*decoded, x, y), at(source, x, y), 6)) << x << "," << y;
}

TEST(ImagingJPEG, AnEncodingWithinALimitIsTheSameJpegOrNoneOnceItPassesTheLimit) {
    // Noise over a gradient, so that the JPEG spans many of the encoder's output blocks.
    std::mt19937 random(5);
    for (PixelFormat format : {PixelFormat::bgra, PixelFormat::bgrx, PixelFormat::rgba}) {
        const Bitmap source = filled(701, 433, format, [&](int x, int y) {
            const auto grain = static_cast<int>(random() % 128);
            return Pixel{static_cast<std::uint8_t>(x * 127 / 701 + grain),
                         static_cast<std::uint8_t>(y * 127 / 433 + grain),
                         static_cast<std::uint8_t>(random() % 256), 255};
        });
        // A view of part of the rows: its stride is wider than its pixels.
        ImageView inner = source.view();
        inner.pixels += inner.stride * 3 + 4 * 5;
        inner.width -= 9;
        inner.height -= 7;
        for (const ImageView& view : {source.view(), inner}) {
            for (int quality : {1, 40, 85, 97, 100}) {
                const auto whole = encodeJPEG(view, quality);
                ASSERT_TRUE(whole);
                if (quality >= 40) {
                    ASSERT_GT(whole->size(), 64u * 1024u);
                }
                const auto unlimited = encodeJPEGWithin(view, quality, SIZE_MAX);
                ASSERT_TRUE(unlimited && *unlimited);
                EXPECT_EQ(**unlimited, *whole) << quality;
                const auto exact = encodeJPEGWithin(view, quality, whole->size());
                ASSERT_TRUE(exact && *exact);
                EXPECT_EQ(**exact, *whole) << quality;
                for (std::size_t limit : {whole->size() - 1, whole->size() / 2, std::size_t{0}}) {
                    const auto past = encodeJPEGWithin(view, quality, limit);
                    ASSERT_TRUE(past);
                    EXPECT_FALSE(*past) << quality << " " << limit;
                }
            }
        }
    }
    EXPECT_EQ(encodeJPEGWithin(ImageView{}, 80, SIZE_MAX).error(), ImageError::invalidArgument);
}

TEST(ImagingJPEG, ScaledDecodeFitsTheLongestSideAndNeverEnlarges) {
    auto jpeg = encodeJPEG(gradient(1600, 1200).view(), 80);
    ASSERT_TRUE(jpeg);
    struct Case {
        int longestSide;
        Size expected;
    };
    for (const Case& c : {Case{300, {300, 225}}, Case{250, {250, 188}}, Case{200, {200, 150}}, Case{1600, {1600, 1200}},
                          Case{5000, {1600, 1200}}, Case{0, {1600, 1200}}}) {
        auto decoded = decodeJPEG(*jpeg, options(100'000'000, c.longestSide));
        ASSERT_TRUE(decoded) << c.longestSide;
        EXPECT_EQ((Size{decoded->width(), decoded->height()}), c.expected) << c.longestSide;
        EXPECT_TRUE(near(at(*decoded, decoded->width() / 2, decoded->height() / 2), Pixel{128, 128, 128, 255}, 8));
    }
    // Scaled down while it streams: truncated or with an orientation, the same rules as a whole decode.
    auto cut = *jpeg;
    cut.resize(cut.size() * 2 / 3);
    EXPECT_EQ(decodeJPEG(cut, options(100'000'000, 250)).error(), ImageError::corrupt);
    auto turned = decodeJPEG(withOrientation(*jpeg, 6), options(100'000'000, 250));
    ASSERT_TRUE(turned);
    EXPECT_EQ((Size{turned->width(), turned->height()}), (Size{188, 250}));
}

TEST(ImagingOrientation, EachTagTurnsTheImageUpright) {
    // Six solid 16x16 blocks, stored as   A B C
    //                                     D E F
    const std::array<Pixel, 6> colours{Pixel{0, 0, 255, 255}, Pixel{0, 255, 0, 255},   Pixel{255, 0, 0, 255},
                                       Pixel{0, 0, 0, 255},   Pixel{255, 255, 255, 255}, Pixel{0, 255, 255, 255}};
    const Bitmap stored =
        filled(48, 32, PixelFormat::bgra, [&](int x, int y) { return colours[(y / 16) * 3 + x / 16]; });
    auto plain = encodeJPEG(stored.view(), 95);
    ASSERT_TRUE(plain);
    struct Case {
        std::uint16_t tag;
        const char* upright;  // rows of blocks, as seen
        int columns;
    };
    const Case cases[] = {{1, "ABCDEF", 3}, {2, "CBAFED", 3}, {3, "FEDCBA", 3}, {4, "DEFABC", 3},
                          {5, "ADBECF", 2}, {6, "DAEBFC", 2}, {7, "FCEBDA", 2}, {8, "CFBEAD", 2}};
    for (const Case& c : cases) {
        const Bytes jpeg = withOrientation(*plain, c.tag);
        auto info = readImageInfo(jpeg);
        ASSERT_TRUE(info);
        EXPECT_EQ(static_cast<int>(info->orientation), c.tag);
        auto decoded = decodeImage(jpeg, options());
        ASSERT_TRUE(decoded);
        ASSERT_EQ(decoded->width(), c.columns * 16) << c.tag;
        EXPECT_EQ((Size{decoded->width(), decoded->height()}), info->uprightSize());
        for (int i = 0; i < 6; ++i) {
            const Pixel seen = at(*decoded, (i % c.columns) * 16 + 8, (i / c.columns) * 16 + 8);
            EXPECT_TRUE(near(seen, colours[c.upright[i] - 'A'], 40)) << "tag " << c.tag << " block " << i;
        }
        auto asStored = decodeImage(jpeg, [] {
            auto o = options();
            o.applyOrientation = false;
            return o;
        }());
        ASSERT_TRUE(asStored);
        EXPECT_EQ(asStored->width(), 48);
    }
}

TEST(ImagingExif, ReadsBothByteOrdersAndSurvivesGarbage) {
    const Bytes motorola{'M', 'M', 0, 42, 0, 0, 0, 8, 0, 2,
                         0x01, 0x0F, 0, 2, 0, 0, 0, 4, 'C', 'a', 'm', 0,  // Make, an unrelated tag
                         0x01, 0x12, 0, 3, 0, 0, 0, 1, 0, 6, 0, 0};
    EXPECT_EQ(exifOrientation(motorola), Orientation::right);
    Bytes longType{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 4, 0, 1, 0, 0, 0, 8, 0, 0, 0};
    EXPECT_EQ(exifOrientation(longType), Orientation::left);
    longType[18] = 9;  // out of range
    EXPECT_EQ(exifOrientation(longType), std::nullopt);

    // A directory claiming many entries past the end, an offset past the end, and a cut header.
    const Bytes overlong{'I', 'I', 42, 0, 8, 0, 0, 0, 0xFF, 0xFF, 0x12, 0x01, 3, 0};
    EXPECT_EQ(exifOrientation(overlong), std::nullopt);
    const Bytes farOffset{'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(exifOrientation(farOffset), std::nullopt);
    EXPECT_EQ(exifOrientation(Bytes{'I', 'I', 42}), std::nullopt);

    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i) {
        Bytes noise(random() % 64);
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(random());
        if (noise.size() >= 4 && i % 2) {
            noise[0] = noise[1] = (i % 4 == 1) ? 'I' : 'M';
            noise[2] = noise[0] == 'I' ? 42 : 0;
            noise[3] = noise[0] == 'I' ? 0 : 42;
        }
        (void)exifOrientation(noise);
        Bytes jpeg{0xFF, 0xD8, 0xFF, 0xE1};
        jpeg.insert(jpeg.end(), noise.begin(), noise.end());
        (void)jpegOrientation(jpeg);
    }
}

TEST(ImagingDecode, BrokenTruncatedAndUnknownDataAreErrors) {
    auto jpeg = encodeJPEG(gradient(64, 48).view(), 80);
    auto png = encodePNG(gradient(64, 48).view(), 6);
    ASSERT_TRUE(jpeg && png);
    for (const Bytes* data : {&*jpeg, &*png}) {
        for (std::size_t cut : {std::size_t{2}, std::size_t{20}, data->size() / 2, data->size() - 20}) {
            const Bytes truncated(data->begin(), data->begin() + cut);
            // Whole, and streamed row by row into a smaller result.
            for (int longestSide : {0, 20}) {
                auto decoded = decodeImage(truncated, options(100'000'000, longestSide));
                ASSERT_FALSE(decoded) << cut;
                EXPECT_TRUE(decoded.error() == ImageError::corrupt || decoded.error() == ImageError::unknownFormat);
            }
        }
    }
    // PNG checksums its data, so damage is found; damaged JPEG entropy data may still decode to some picture.
    Bytes damaged = *png;
    for (std::size_t i = png->size() / 3; i < png->size() / 3 + 40; ++i)
        damaged[i] ^= 0x5A;
    EXPECT_FALSE(decodeImage(damaged, options()));
    const Bytes text{'h', 'e', 'l', 'l', 'o'};
    auto unknown = decodeImage(text, options());
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error(), ImageError::unknownFormat);
    EXPECT_FALSE(decodeImage({}, options()));
}

TEST(ImagingDecode, HugeClaimedSizesAreRefusedBeforeDecoding) {
    // A JPEG whose frame header claims 65000 x 65000.
    auto jpeg = encodeJPEG(gradient(16, 16).view(), 80);
    ASSERT_TRUE(jpeg);
    const Bytes sofMarker{0xFF, 0xC0};
    const auto sof = std::search(jpeg->begin(), jpeg->end(), sofMarker.begin(), sofMarker.end());
    ASSERT_NE(sof, jpeg->end());
    const auto offset = static_cast<std::size_t>(sof - jpeg->begin());
    for (std::size_t i : {5, 7}) {  // height, then width
        (*jpeg)[offset + i] = 0xFD;
        (*jpeg)[offset + i + 1] = 0xE8;
    }
    auto info = readImageInfo(*jpeg);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->width, 65000);
    auto decoded = decodeImage(*jpeg, options(100'000'000));
    ASSERT_FALSE(decoded);
    EXPECT_EQ(decoded.error(), ImageError::tooLarge);

    // A PNG whose header claims 100000 x 100000 (with a correct checksum), and one just over a small limit.
    auto png = encodePNG(gradient(16, 16).view(), 6);
    ASSERT_TRUE(png);
    Bytes huge = *png;
    putBigEndian(huge, 16, 100000);
    putBigEndian(huge, 20, 100000);
    putBigEndian(huge, 29, crc32(huge.data() + 12, 17));
    auto hugeInfo = readImageInfo(huge);
    ASSERT_TRUE(hugeInfo);
    EXPECT_EQ(hugeInfo->height, 100000);
    auto refused = decodeImage(huge, options(100'000'000));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageError::tooLarge);
    auto overLimit = decodeImage(*png, options(255));
    ASSERT_FALSE(overLimit);
    EXPECT_EQ(overLimit.error(), ImageError::tooLarge);
    EXPECT_TRUE(decodeImage(*png, options(256)));

    EXPECT_FALSE(Bitmap::create(1000, 1000, PixelFormat::bgra, 999'999));
    EXPECT_FALSE(Bitmap::create(Bitmap::maxSide + 1, 1, PixelFormat::bgra, UINT64_MAX));
    EXPECT_FALSE(Bitmap::create(0, 10, PixelFormat::bgra, UINT64_MAX));
}

TEST(ImagingScale, BoxFilterAveragesAndTransparentPixelsDoNotBleed) {
    const Bitmap checker = filled(64, 64, PixelFormat::bgra, [](int x, int y) {
        const std::uint8_t v = (x + y) % 2 ? 255 : 0;
        return Pixel{v, v, v, 255};
    });
    auto half = scale(checker.view(), 16, 16);
    ASSERT_TRUE(half);
    EXPECT_TRUE(near(at(*half, 7, 7), Pixel{128, 128, 128, 255}, 2));

    // Left half transparent red, right half opaque blue: the edge is blue, fading out, never purple.
    const Bitmap edge = filled(64, 8, PixelFormat::bgra, [](int x, int) {
        return x < 32 ? Pixel{0, 0, 255, 0} : Pixel{255, 0, 0, 255};
    });
    for (ScaleFilter filter : {ScaleFilter::box, ScaleFilter::bilinear}) {
        auto scaled = scale(edge.view(), 10, 2, filter);
        ASSERT_TRUE(scaled);
        for (int x = 0; x < 10; ++x) {
            const Pixel p = at(*scaled, x, 1);
            if (p[3] > 16) {
                EXPECT_LE(p[2], 8) << "red bled into x=" << x;
            }
        }
    }
    EXPECT_FALSE(scale(edge.view(), 0, 5));
}

TEST(ImagingScale, FlatColoursAndOpacityComeThroughExactlyAtAnyRatio) {
    const Bitmap flat = filled(1000, 700, PixelFormat::bgra, [](int, int) { return Pixel{255, 200, 17, 255}; });
    for (auto [w, h] : {std::pair{409, 287}, std::pair{333, 1}, std::pair{1, 699}, std::pair{1500, 1001}}) {
        auto scaled = scale(flat.view(), w, h);
        ASSERT_TRUE(scaled);
        for (auto [x, y] : {std::pair{0, 0}, std::pair{w / 2, h / 2}, std::pair{w - 1, h - 1}}) {
            EXPECT_EQ(at(*scaled, x, y), (Pixel{255, 200, 17, 255})) << w << "x" << h << " at " << x << "," << y;
        }
    }
}

TEST(ImagingBitmap, CopiesShareUntilWrittenAndSizesFitTheLongestSide) {
    Bitmap a = gradient(4, 4);
    Bitmap b = a;
    EXPECT_EQ(a.pixels(), b.pixels());
    b.mutablePixels()[0] = 99;
    EXPECT_NE(a.pixels(), b.pixels());
    EXPECT_NE(a.pixels()[0], 99);

    EXPECT_EQ(fitLongestSide(4000, 3000, 4096), (Size{4000, 3000}));
    EXPECT_EQ(fitLongestSide(8000, 2000, 4096), (Size{4096, 1024}));
    EXPECT_EQ(fitLongestSide(1000, 3, 100), (Size{100, 1}));  // never below one pixel
    EXPECT_EQ(fitLongestSide(50, 100, 200, true), (Size{100, 200}));
    EXPECT_EQ(fitLongestSide(0, 100, 200), (Size{}));
}

}  // namespace
}  // namespace platform::imaging
