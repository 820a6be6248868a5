// A decode stays within its budgets: its working memory beyond its result (files that would need more are
// refused, the same pictures in a streamable form are not, and what a file carries besides its pixels is
// not kept), and its work (files built to take seconds are refused, the largest pictures the callers take
// are not). A raised stop flag ends it, or its wait for its turn.
#include <png.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csetjmp>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/imaging/Codecs.h"
#include "testing/CraftedImages.h"

namespace platform::imaging {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bitmap noise(int width, int height) {
    auto bitmap = Bitmap::create(width, height, PixelFormat::bgra, UINT64_MAX);
    std::uint32_t state = 99;
    std::uint8_t* p = bitmap->mutablePixels();
    for (std::size_t i = 0; i < bitmap->bytes().size(); ++i) {
        state = state * 1664525 + 1013904223;
        p[i] = (i % 4 == 3) ? 255 : static_cast<std::uint8_t>(state >> 24);
    }
    return *bitmap;
}

Bytes jpeg(const Bitmap& image, bool progressive) {
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int failed =
        tjCompress2(handle, image.pixels(), image.width(), static_cast<int>(image.stride()), image.height(),
                    TJPF_BGRA, &out, &size, TJSAMP_420, 90, progressive ? TJFLAG_PROGRESSIVE : 0);
    Bytes bytes(out, out + (failed ? 0 : size));
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

void appendData(png_structp png, png_bytep data, png_size_t length) {
    auto* bytes = static_cast<Bytes*>(png_get_io_ptr(png));
    bytes->insert(bytes->end(), data, data + length);
}

// Ancillary chunks to write before the pixels: EXIF data and texts.
struct Extras {
    Bytes exif;
    std::vector<png_text> texts;
};

bool writePNG(png_structp png, png_infop info, const Bitmap* image, int interlace, png_bytepp rows,
              Extras* extras) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, static_cast<png_uint_32>(image->width()),
                 static_cast<png_uint_32>(image->height()), 8, PNG_COLOR_TYPE_RGB_ALPHA, interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!extras->exif.empty())
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(extras->exif.size()), extras->exif.data());
    if (!extras->texts.empty())
        png_set_text(png, info, extras->texts.data(), static_cast<int>(extras->texts.size()));
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

Bytes png(const Bitmap& image, bool interlaced, Extras extras = {}) {
    Bytes bytes;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &bytes, appendData, nullptr);
    std::vector<png_bytep> rows(static_cast<std::size_t>(image.height()));
    for (std::size_t y = 0; y < rows.size(); ++y)
        rows[y] = const_cast<png_bytep>(image.pixels() + image.stride() * y);
    const bool written = writePNG(png, info, &image, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                                  rows.data(), &extras);
    png_destroy_write_struct(&png, &info);
    return written ? bytes : Bytes{};
}

DecodeOptions budgeted(std::size_t budget, int longestSide) {
    DecodeOptions options;
    options.maxPixels = 100'000'000;
    options.longestSide = longestSide;
    options.memoryBudget = budget;
    options.format = PixelFormat::rgba;  // the test PNGs store the bytes as they are in memory
    return options;
}

TEST(ImagingDecodeBudget, AProgressiveJPEGWhoseCoefficientsExceedTheBudgetIsRefused) {
    // 1024 x 1024 at 4:2:0 holds about 3 MiB of coefficients for the whole image.
    const Bitmap image = noise(1024, 1024);
    const Bytes progressive = jpeg(image, true);
    const Bytes baseline = jpeg(image, false);
    ASSERT_FALSE(progressive.empty());
    ASSERT_FALSE(baseline.empty());
    constexpr std::size_t budget = 1024 * 1024;
    const auto refused = decodeImage(progressive, budgeted(budget, 256));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageError::tooLarge);
    EXPECT_EQ(decodeImage(progressive, budgeted(budget, 0)).error(), ImageError::tooLarge);
    // The same picture, baseline, streams through within that budget, at full size or shrunk.
    const auto shrunk = decodeImage(baseline, budgeted(budget, 256));
    ASSERT_TRUE(shrunk);
    EXPECT_EQ(shrunk->width(), 256);
    EXPECT_TRUE(decodeImage(baseline, budgeted(budget, 0)));
    // With room for its coefficients, the progressive file decodes.
    const auto roomy = decodeImage(progressive, budgeted(8 * budget, 256));
    ASSERT_TRUE(roomy);
    EXPECT_EQ(roomy->width(), 256);
}

TEST(ImagingDecodeBudget, AnInterlacedPNGIsHeldWholeOnlyWhenThatFitsTheBudget) {
    const Bitmap image = noise(600, 400);  // 960,000 bytes held whole
    const Bytes interlaced = png(image, true);
    const Bytes plain = png(image, false);
    ASSERT_FALSE(interlaced.empty());
    constexpr std::size_t budget = 512 * 1024;
    const auto refused = decodeImage(interlaced, budgeted(budget, 100));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageError::tooLarge);
    // At its own size the whole image is the result, not working memory.
    const auto whole = decodeImage(interlaced, budgeted(budget, 0));
    ASSERT_TRUE(whole);
    EXPECT_TRUE(std::ranges::equal(whole->bytes(), image.bytes()));
    const auto streamed = decodeImage(plain, budgeted(budget, 100));
    ASSERT_TRUE(streamed);
    EXPECT_EQ(streamed->width(), 100);
    const auto roomy = decodeImage(interlaced, budgeted(2 * 1024 * 1024, 100));
    ASSERT_TRUE(roomy);
    EXPECT_TRUE(roomy->samePixels(*streamed));
}

// As pictures are decoded: at most 100 MP, shown at most 4096 pixels across, 96 MiB of working memory.
DecodeOptions pictureOptions() {
    DecodeOptions options;
    options.maxPixels = 100'000'000;
    options.longestSide = 4096;
    options.memoryBudget = 96 * 1024 * 1024;
    return options;
}

// Horizontal bands of grey: cheap to make and to encode, whatever the size.
Bitmap bands(int width, int height) {
    auto bitmap = Bitmap::create(width, height, PixelFormat::bgra, UINT64_MAX);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = bitmap->mutablePixels() + bitmap->stride() * static_cast<std::size_t>(y);
        std::fill(row, row + bitmap->stride(), static_cast<std::uint8_t>(y * 7));
    }
    return *bitmap;
}

// The same with a photograph's grain on them, about 23 levels wide.
Bitmap grainyBands(int width, int height) {
    Bitmap bitmap = bands(width, height);
    std::uint32_t state = 99;
    std::uint8_t* p = bitmap.mutablePixels();
    for (std::size_t i = 0; i < bitmap.bytes().size(); ++i) {
        state = state * 1664525 + 1013904223;
        if (i % 4 != 3)
            p[i] = static_cast<std::uint8_t>(p[i] / 2 + 64 + static_cast<int>((state >> 24) % 23) - 11);
    }
    return bitmap;
}

TEST(ImagingDecodeWork, AProgressiveJPEGOfHundredsOfScansIsRefusedAndTheLargestCameraOneDecodes) {
    // 4 MP of grey (8 MiB of coefficients) in 499 scans of a few bytes, each making the decoder visit
    // every block.
    const auto refused = decodeImage(testing_support::manyScanGreyJPEG(2048, 499, false), pictureOptions());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageError::tooMuchWork);
    // A camera's 33 MP in 4:2:0, the most a picture's working memory holds, in the library's usual
    // progression of ten scans, with a grain that makes it nearly as large as a picture may be.
    const Bytes camera = jpeg(grainyBands(7072, 4716), true);
    ASSERT_GT(camera.size(), 7'000'000u);
    ASSERT_LE(camera.size(), 8'388'608u);
    ASSERT_LE(readImageInfo(camera)->workingBytes, pictureOptions().memoryBudget);
    const auto decoded = decodeImage(camera, pictureOptions());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width(), 4096);
}

// Where the first marker FF `code` starts; the size when there is none.
std::size_t markerAt(const Bytes& jpeg, std::uint8_t code) {
    const std::array<std::uint8_t, 2> marker{0xFF, code};
    return static_cast<std::size_t>(std::search(jpeg.begin(), jpeg.end(), marker.begin(), marker.end()) -
                                    jpeg.begin());
}

// An arithmetic decoder spends many decisions on a block for almost no bits: no count from the header
// bounds that work, and no phone or camera writes such files.
TEST(ImagingDecodeWork, ArithmeticCodedJPEGsAreRefusedFromTheirHeaderAlone) {
    const std::pair<const char*, Bytes> files[] = {
        {"sequential, every AC coefficient set", testing_support::allACSequentialJPEG(64)},
        {"progressive, one DC scan repeated", testing_support::repeatedDCScanJPEG(64, 40)},
        {"progressive, a run of zeros in repeated AC scans", testing_support::zeroRunACScanJPEG(64, 40)},
    };
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        const auto info = readImageInfo(file);
        ASSERT_FALSE(info);
        EXPECT_EQ(info.error(), ImageError::unsupported);
        // Whatever work is allowed, shrunk or not.
        for (const int longestSide : {0, 16}) {
            DecodeOptions options = pictureOptions();
            options.longestSide = longestSide;
            options.workBudget = UINT64_MAX;
            const auto decoded = decodeImage(file, options);
            ASSERT_FALSE(decoded);
            EXPECT_EQ(decoded.error(), ImageError::unsupported);
        }
        // From the header: cut right after its first scan's header it is refused alike; cut inside its
        // frame header (SOF9 sequential, SOF10 progressive) it is as broken as any such JPEG.
        const std::size_t frame = markerAt(file, name[0] == 's' ? 0xC9 : 0xCA);
        const std::size_t scan = markerAt(file, 0xDA);
        ASSERT_LT(scan, file.size());
        const Bytes firstScanHeader(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(scan) + 10);
        EXPECT_EQ(decodeImage(firstScanHeader, pictureOptions()).error(), ImageError::unsupported);
        ASSERT_LT(frame, scan);
        const Bytes cutFrame(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(frame) + 6);
        EXPECT_EQ(readImageInfo(cutFrame).error(), ImageError::corrupt);
        EXPECT_EQ(decodeImage(cutFrame, pictureOptions()).error(), ImageError::corrupt);
    }
    // Refused before it waits for the turn of large decodes that its 32 MiB of coefficients would need.
    auto held = takeDecodeTurn(largeDecodeBytes + 1);
    ASSERT_TRUE(held);
    const Bytes large = testing_support::manyScanGreyJPEG(4096, 2, true);
    auto waiting = std::async(std::launch::async, [&] { return decodeImage(large, pictureOptions()); });
    // A decode that waits gets the turn after a while, so that its end can be seen.
    if (waiting.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        held.reset();
    const auto result = waiting.get();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ImageError::unsupported);
}

TEST(ImagingDecodeWork, APNGOfTooManyStoredRowsIsRefusedAndOneOfAnOrdinarySizeDecodes) {
    // 800,000,000 bytes of 16-bit rows, every one Paeth-filtered, in 798 KB.
    const auto refused = decodeImage(testing_support::paethRGBA16PNG(10000), pictureOptions());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageError::tooMuchWork);
    const auto ordinary = decodeImage(testing_support::paethRGBA16PNG(3000), pictureOptions());
    ASSERT_TRUE(ordinary);
    EXPECT_EQ(ordinary->width(), 3000);
}

TEST(ImagingDecodeWork, APNGIsChargedForWhatItsConversionAndShrinkingCost) {
    // 16-bit grey with tRNS, every row Paeth-filtered over random-looking bytes: in 1.3 MB, 85 MP whose
    // samples are scaled, turned to alpha and averaged weighted by it.
    testing_support::PNGShape shape{9219, 9219, 16, 0, true, false};
    const auto refused = decodeImage(testing_support::paethNoisePNG(shape), pictureOptions());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageError::tooMuchWork);
    // 42 MP of the same are taken: a raised stop flag ends the decode the budget lets through.
    shape.width = shape.height = 6500;
    const std::atomic<bool> raised{true};
    DecodeOptions options = pictureOptions();
    options.stop = &raised;
    EXPECT_EQ(decodeImage(testing_support::paethNoisePNG(shape), options).error(), ImageError::stopped);
}

// A PNG's compressed bytes count at the pace they inflate: an ordinary file is taken up to its caller's
// limit on bytes, while deflate blocks that decode to nothing (their tables built anew every dozen bytes,
// some 100 ns a byte) end a decode as soon as their pace shows they would take it past its figure, wherever
// they lie in the stream.
TEST(ImagingDecodeWork, APNGsCompressedBytesCountAtThePaceTheyInflate) {
    // Artwork of 2200x2200 grainy pixels, 14.5 MB in all (artwork may have 16 MiB).
    DecodeOptions artwork;
    artwork.maxPixels = 4096ull * 4096;
    artwork.longestSide = 360;
    const Bytes grainy = png(noise(2200, 2200), false);
    ASSERT_GT(grainy.size(), 14'000'000u);
    const auto cover = decodeImage(grainy, artwork);
    ASSERT_TRUE(cover) << describe(cover.error());
    EXPECT_EQ(cover->width(), 360);

    // Two pixels, one above the other, with 16.5 MB of them before the rows or between the two: over a
    // second and a half of inflating, against a figure of a fifth of a second.
    using testing_support::DeflatePadding;
    using testing_support::PaddingPlace;
    const Bytes dot = testing_support::paethNoisePNG({1, 2, 8, 6, false, false});
    DecodeOptions options = pictureOptions();
    options.cpuTimeLimit = std::chrono::milliseconds(240);
    for (const auto place : {PaddingPlace::beforeRows, PaddingPlace::amidRows}) {
        for (const auto padding : {DeflatePadding::minimalDynamic, DeflatePadding::fullDynamic}) {
            SCOPED_TRACE(testing::Message()
                         << "place " << static_cast<int>(place) << ", padding " << static_cast<int>(padding));
            const auto result =
                decodeImage(testing_support::paddedPNG(dot, 16'500'000, padding, place), options);
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error(), ImageError::tooMuchWork);
        }
    }
    // A little of it is no reason to refuse a picture.
    for (const auto place : {PaddingPlace::beforeRows, PaddingPlace::amidRows}) {
        const auto decoded =
            decodeImage(testing_support::paddedPNG(dot, 100'000, DeflatePadding::minimalDynamic, place),
                        pictureOptions());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->width(), 1);
    }
}

// Every block of a DC scan is one code, of a bit at the least: 3,416 such scans of 1024x1024 in 7 MB.
TEST(ImagingDecodeWork, AProgressiveJPEGOfOneBitDCScansIsRefused) {
    // Before any scan is decoded: a raised stop flag would end a decode the count let through.
    const std::atomic<bool> raised{true};
    DecodeOptions options = pictureOptions();
    options.stop = &raised;
    const auto refused = decodeImage(testing_support::oneBitDCScanJPEG(1024, 3416), options);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageError::tooMuchWork);
    const auto taken = decodeImage(testing_support::oneBitDCScanJPEG(1024, 100), pictureOptions());
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->width(), 1024);
}

// The JPEG with a comment right after its start of image whose length field says `length`: under 2, less
// than the field itself, which the library reads as an empty comment before it reads on.
Bytes withCommentAfterSOI(const Bytes& jpeg, std::uint8_t length) {
    Bytes comment{0xFF, 0xFE, 0, length};
    comment.resize(std::max(4, 2 + length), 'c');
    Bytes out = jpeg;
    out.insert(out.begin() + 2, comment.begin(), comment.end());
    return out;
}

// Such a comment must not end the walk that counts the scans before decoding while the library reads on
// to every scan behind it: the file is refused as damaged before anything is decoded, as any segment the
// walk cannot follow as the library reads it.
TEST(ImagingDecodeWork, AJPEGWithACommentShorterThanItsLengthFieldIsRefusedBeforeDecoding) {
    const std::atomic<bool> raised{true};
    DecodeOptions options = pictureOptions();
    options.stop = &raised;
    // 2,402 one-bit DC scans in 4.9 MB, and 3,416 in 7 MB.
    for (const int scans : {2402, 3416}) {
        SCOPED_TRACE(scans);
        const Bytes file = testing_support::oneBitDCScanJPEG(1024, scans);
        for (const std::uint8_t length : {0, 1})
            EXPECT_EQ(decodeImage(withCommentAfterSOI(file, length), options).error(), ImageError::corrupt);
        EXPECT_EQ(decodeImage(withCommentAfterSOI(file, 2), options).error(), ImageError::tooMuchWork);
    }
    // Refused before it waits for the turn of large decodes that its 32 MiB of coefficients would need,
    // while another decode holds the turn.
    auto held = takeDecodeTurn(largeDecodeBytes + 1);
    ASSERT_TRUE(held);
    const Bytes large = testing_support::manyScanGreyJPEG(4096, 499, false);
    for (const std::uint8_t length : {0, 2}) {
        SCOPED_TRACE(static_cast<int>(length));
        const Bytes file = withCommentAfterSOI(large, length);
        auto waiting = std::async(std::launch::async, [&] { return decodeImage(file, pictureOptions()); });
        // A decode that waits gets the turn after a while, so that its end can be seen.
        const bool waited = waiting.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
        if (waited)
            held.reset();
        EXPECT_FALSE(waited);
        EXPECT_EQ(waiting.get().error(), length == 0 ? ImageError::corrupt : ImageError::tooMuchWork);
    }
}

// Past its CPU time, a decode the count let through ends as one the count refuses.
TEST(ImagingDecodeWork, ADecodePastItsCPUTimeIsStopped) {
    const std::pair<const char*, Bytes> files[] = {
        {"PNG behind empty deflate blocks",
         testing_support::paddedPNG(testing_support::paethNoisePNG({1, 1, 8, 6, false, false}), 8'200'000,
                                    testing_support::DeflatePadding::minimalDynamic)},
        {"JPEG of one-bit DC scans", testing_support::oneBitDCScanJPEG(1024, 3416)},
    };
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        DecodeOptions options = pictureOptions();
        options.workBudget = UINT64_MAX;
        options.cpuTimeLimit = std::chrono::milliseconds(1);
        const auto result = decodeImage(file, options);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), ImageError::tooMuchWork);
    }
}

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(ImagingDecodeAncillary, TextChunksAreSkippedUnreadWhileTheOrientationIsStillRead) {
    // 64 x 64 pixels and 127 zTXt chunks of 8,000,000 bytes each once inflated.
    const Bytes texts = testing_support::textChunkPNG(64, 127, 8'000'000);
    const auto plain = decodeImage(testing_support::textChunkPNG(64, 0, 0), pictureOptions());
    ASSERT_TRUE(plain);
    const long before = residentKiB();
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        const auto info = readImageInfo(texts);
        const auto decoded = decodeImage(texts, pictureOptions());
        _exit(info && decoded && decoded->samePixels(*plain) ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The child starts with the pages of this process; the texts, were they kept, would add 1 GB.
    EXPECT_LT(usage.ru_maxrss - before, 64 * 1024);

    // Among texts of every kind, the EXIF orientation is read: turned right, 40 x 20 stands upright.
    Extras extras;
    extras.exif = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0};
    char key[] = "Comment";
    char text[] = "a text no one reads";
    for (int compression :
         {PNG_TEXT_COMPRESSION_NONE, PNG_TEXT_COMPRESSION_zTXt, PNG_ITXT_COMPRESSION_zTXt}) {
        png_text entry{};
        entry.compression = compression;
        entry.key = key;
        entry.text = text;
        entry.text_length = std::strlen(text);
        extras.texts.push_back(entry);
    }
    const Bytes turned = png(noise(40, 20), false, extras);
    ASSERT_FALSE(turned.empty());
    EXPECT_EQ(readImageInfo(turned)->orientation, Orientation::right);
    const auto upright = decodeImage(turned, pictureOptions());
    ASSERT_TRUE(upright);
    EXPECT_EQ(upright->width(), 20);
    EXPECT_EQ(upright->height(), 40);
}

TEST(ImagingDecodeStop, ARaisedFlagEndsADecodeBeforeOrWhileItRuns) {
    std::atomic<bool> raised{true};
    DecodeOptions before = pictureOptions();
    before.stop = &raised;
    for (const Bytes& small : {jpeg(noise(64, 64), false), png(noise(64, 64), false)}) {
        const auto result = decodeImage(small, before);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), ImageError::stopped);
    }
    // Decodes of seconds once unbounded, raised once they have had time to begin; they end stopped
    // whether they had begun or not.
    const std::pair<const char*, Bytes> longDecodes[] = {
        {"progressive JPEG", testing_support::manyScanGreyJPEG(2048, 499, false)},
        {"PNG streamed into its shrunk result", testing_support::paethRGBA16PNG(6000)},
        {"interlaced PNG", testing_support::interlacedPaethRGBA16PNG(4000)},
    };
    for (const auto& [name, data] : longDecodes) {
        SCOPED_TRACE(name);
        std::atomic<bool> stop{false};
        DecodeOptions options = pictureOptions();
        options.workBudget = UINT64_MAX;
        options.cpuTimeLimit = std::chrono::hours(1);
        options.stop = &stop;
        std::thread raiser([&stop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            stop = true;
        });
        const auto result = decodeImage(data, options);
        raiser.join();
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), ImageError::stopped);
    }
}

// The flag is looked at between slices of the compressed input too: a one-pixel PNG, one row, behind 33 MB
// of empty deflate blocks (seconds of inflating), all of them inside that row.
TEST(ImagingDecodeStop, ARaisedFlagEndsADecodeInsideItsCompressedInput) {
    const Bytes padded =
        testing_support::paddedPNG(testing_support::paethNoisePNG({1, 1, 8, 6, false, false}), 33'000'000,
                                   testing_support::DeflatePadding::minimalDynamic);
    std::atomic<bool> stop{false};
    DecodeOptions options = pictureOptions();
    options.workBudget = UINT64_MAX;
    options.cpuTimeLimit = std::chrono::hours(1);
    options.stop = &stop;
    std::thread raiser([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop = true;
    });
    const auto result = decodeImage(padded, options);
    raiser.join();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ImageError::stopped);
}

TEST(ImagingDecodeStop, ARaisedFlagEndsAWaitForTheDecodeTurn) {
    auto held = takeDecodeTurn(largeDecodeBytes + 1);
    ASSERT_TRUE(held);
    // 32 MiB of coefficients: a decode that must wait for the turn.
    const Bytes progressive = testing_support::manyScanGreyJPEG(4096, 2, false);
    ASSERT_GT(readImageInfo(progressive)->workingBytes, largeDecodeBytes);
    std::atomic<bool> stop{false};
    DecodeOptions options = pictureOptions();
    options.stop = &stop;
    auto waiting = std::async(std::launch::async, [&] { return decodeImage(progressive, options); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    // A wait deaf to the flag lasts as long as the turn is held: let it have the turn to see its end.
    if (waiting.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
        held.reset();
    const auto result = waiting.get();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), ImageError::stopped);
}

}  // namespace
}  // namespace platform::imaging
