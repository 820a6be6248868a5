// The steps of a decode besides its rows look at its watch as the rows do: a stop raised, or the CPU time
// past the backstop, while it shrinks an image held whole, turns the result upright or reads a header of
// millions of segments ends it with `stopped` or `tooMuchWork`, and a watch that says nothing changes no
// pixel. The watches here say so at a chosen look, so that where a step ends is known without a clock.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/imaging/Codecs.h"
#include "platform/imaging/DecodeSteps.h"
#include "platform/imaging/DecodeWatch.h"
#include "testing/CraftedImages.h"

namespace platform::imaging {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Says `ending` at its look number `at` (from 1; never at 0), nothing at the others; counts its looks.
class ScriptedWatch final : public StepWatch {
  public:
    explicit ScriptedWatch(int at = 0, ImageError ending = ImageError::stopped) : at_(at), ending_(ending) {}
    std::optional<ImageError> look() override {
        ++looks;
        if (looks == at_)
            return ending_;
        return std::nullopt;
    }
    int looks = 0;

  private:
    int at_;
    ImageError ending_;
};

// Random-looking opaque pixels; the last one, when `lastTransparent`, half transparent, so that a look for
// transparency goes over the whole image.
Bitmap noise(int width, int height, bool lastTransparent = false) {
    auto bitmap = Bitmap::create(width, height, PixelFormat::bgra, UINT64_MAX);
    std::uint32_t state = 7;
    std::uint8_t* p = bitmap->mutablePixels();
    for (std::size_t i = 0; i < bitmap->bytes().size(); ++i) {
        state = state * 1664525 + 1013904223;
        p[i] = i % 4 == 3 ? 255 : static_cast<std::uint8_t>(state >> 24);
    }
    if (lastTransparent)
        p[bitmap->bytes().size() - 1] = 128;
    return *bitmap;
}

// What a step does with the watch given, each time anew: the looks it takes to the end, the result of a
// watch that says nothing (the same pixels as without a watch), and for looks at its start, its middle and
// its end, the step ended right at that look, stopped or over its time.
template <class Step>
void expectEndsAtEveryLook(Step step, const Bitmap& expected) {
    ScriptedWatch silent;
    const auto whole = step(&silent);
    ASSERT_TRUE(whole);
    EXPECT_TRUE(whole->samePixels(expected));
    const int looks = silent.looks;
    ASSERT_GT(looks, 2);
    for (const int at : {1, looks / 2, looks}) {
        for (const ImageError ending : {ImageError::stopped, ImageError::tooMuchWork}) {
            SCOPED_TRACE(testing::Message() << "look " << at << " of " << looks << ", " << describe(ending));
            ScriptedWatch watch(at, ending);
            const auto ended = step(&watch);
            ASSERT_FALSE(ended);
            EXPECT_EQ(ended.error(), ending);
            EXPECT_EQ(watch.looks, at);
        }
    }
}

TEST(ImagingDecodeSteps, TheTurnUprightEndsAtTheLookThatSaysSo) {
    const Bitmap stored = noise(800, 600);
    for (const Orientation orientation :
         {Orientation::up, Orientation::upMirrored, Orientation::down, Orientation::downMirrored,
          Orientation::leftMirrored, Orientation::right, Orientation::rightMirrored, Orientation::left}) {
        SCOPED_TRACE(static_cast<int>(orientation));
        const auto expected = applyOrientation(stored.view(), orientation);
        ASSERT_TRUE(expected);
        expectEndsAtEveryLook(
            [&](StepWatch* watch) { return applyOrientation(stored.view(), orientation, watch); }, *expected);
    }
    // A column of a tall image turned into a row of the result, each of its pixels read from another row of
    // the source: it is looked at inside each such row too.
    const Bitmap tall = noise(4, 200'000);
    ScriptedWatch silent;
    const auto turned = applyOrientation(tall.view(), Orientation::right, &silent);
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->height(), 4);
    EXPECT_GT(silent.looks, 2 * turned->height());
}

TEST(ImagingDecodeSteps, TheShrinkOfAnImageHeldWholeEndsAtTheLookThatSaysSo) {
    // Looked over for transparency to its last pixel, then averaged weighted by alpha.
    const Bitmap held = noise(1400, 1000, true);
    for (const ScaleFilter filter : {ScaleFilter::box, ScaleFilter::bilinear}) {
        SCOPED_TRACE(filter == ScaleFilter::box ? "box" : "bilinear");
        const auto expected = scale(held.view(), 700, 500, filter);
        ASSERT_TRUE(expected);
        expectEndsAtEveryLook([&](StepWatch* watch) { return scale(held.view(), 700, 500, filter, watch); },
                              *expected);
    }
}

TEST(ImagingDecodeSteps, ADecodeShrinksWhatItHeldThenTurnsItLookingThroughBoth) {
    const Bitmap held = noise(1400, 1000);
    const Size fitted{700, 500};
    const auto shrunk = scale(held.view(), fitted.width, fitted.height);
    ASSERT_TRUE(shrunk);
    const auto upright = applyOrientation(shrunk->view(), Orientation::left);
    ASSERT_TRUE(upright);
    expectEndsAtEveryLook(
        [&](StepWatch* watch) { return finishRows(held, fitted, Orientation::left, *watch); }, *upright);
    // The turn's looks follow the shrink's: its first ends the decode once the shrink is done.
    ScriptedWatch shrinking;
    ASSERT_TRUE(scale(held.view(), fitted.width, fitted.height, ScaleFilter::box, &shrinking));
    ScriptedWatch firstOfTheTurn(shrinking.looks + 1);
    const auto turning = finishRows(held, fitted, Orientation::left, firstOfTheTurn);
    ASSERT_FALSE(turning);
    EXPECT_EQ(turning.error(), ImageError::stopped);
    // Rows streamed at their size are only turned, and rows upright at their size are the result.
    expectEndsAtEveryLook(
        [&](StepWatch* watch) { return finishRows(*shrunk, fitted, Orientation::left, *watch); }, *upright);
    ScriptedWatch none;
    const auto asRead = finishRows(*shrunk, fitted, Orientation::up, none);
    ASSERT_TRUE(asRead);
    EXPECT_EQ(asRead->pixels(), shrunk->pixels());
    EXPECT_EQ(none.looks, 0);
}

std::int64_t coarseMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

TEST(ImagingDecodeSteps, TheStepsSeeWhatTheDecodesWatchSees) {
    std::atomic<bool> stop{false};
    DecodeWatch watch(&stop, std::chrono::hours(1));
    DecodeStepWatch steps(watch);
    EXPECT_EQ(steps.look(), std::nullopt);
    stop = true;
    EXPECT_EQ(steps.look(), ImageError::stopped);
    // The CPU time is read at most every few milliseconds of the clock: past them, a nanosecond is over.
    DecodeWatch hurried(nullptr, std::chrono::nanoseconds(1));
    DecodeStepWatch hurriedSteps(hurried);
    const std::int64_t start = coarseMilliseconds();
    while (coarseMilliseconds() - start < 20) {
    }
    EXPECT_EQ(hurriedSteps.look(), ImageError::tooMuchWork);
}

// `bytes` of empty COM segments (4 bytes each) before the frame of a small JPEG.
Bytes afterSegments(const Bytes& jpeg, std::size_t bytes) {
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    for (std::size_t i = 0; i < bytes / 4; ++i)
        out.insert(out.end(), {0xFF, 0xFE, 0x00, 0x02});
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

// Tens of milliseconds of segments or chunks a decoder walks before the frame: a raised flag is seen in
// them, and a header of an ordinary length is read to its end whatever is raised, so that a decode the
// count of its work refuses is refused as such.
TEST(ImagingDecodeStop, ARaisedFlagEndsTheReadingOfAHeaderOfMillionsOfSegments) {
    const Bytes smallJPEG = *encodeJPEG(noise(64, 64).view(), 90);
    const std::pair<const char*, Bytes> longHeaders[] = {
        {"JPEG", afterSegments(smallJPEG, 8'000'000)},
        {"PNG", testing_support::textChunkPNG(64, 280'000, 0)},
    };
    const std::atomic<bool> raised{true};
    const std::atomic<bool> lowered{false};
    DecodeOptions options;
    options.maxPixels = 100'000'000;
    options.workBudget = 0;
    for (const auto& [name, file] : longHeaders) {
        SCOPED_TRACE(name);
        ASSERT_GT(file.size(), 7'000'000u);
        const auto stopped = readImageInfo(file, &raised);
        ASSERT_FALSE(stopped);
        EXPECT_EQ(stopped.error(), ImageError::stopped);
        const auto info = readImageInfo(file, &lowered);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->width, 64);
        options.stop = &raised;
        EXPECT_EQ(decodeImage(file, options).error(), ImageError::stopped);
        options.stop = &lowered;
        EXPECT_EQ(decodeImage(file, options).error(), ImageError::tooMuchWork);
    }
    const std::pair<const char*, Bytes> ordinaryHeaders[] = {
        {"JPEG", afterSegments(smallJPEG, 60'000)},
        {"PNG", testing_support::textChunkPNG(64, 2'000, 0)},
    };
    for (const auto& [name, file] : ordinaryHeaders) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(readImageInfo(file, &lowered));
        options.stop = &raised;
        EXPECT_EQ(decodeImage(file, options).error(), ImageError::tooMuchWork);
    }
}

}  // namespace
}  // namespace platform::imaging
