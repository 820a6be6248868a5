// Pictures at the limits: 10000 x 10000 is exactly the largest accepted, and it arrives bounded to 4096
// on its longer side; camera-sized progressive JPEGs are shown, and one whose coefficients alone would
// take more than a picture may use is refused with a line in the log.
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "overlays/presentation-images/PresentationImageDecodeQueue.h"
#include "overlays/presentation-images/PresentationImageDecoder.h"
#include "overlays/presentation-images/tests/PictureFiles.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace PresentationImages {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A progressive JPEG of diagonal stripes.
Bytes progressiveJPEG(int width, int height, int subsampling) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel =
                &pixels[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + x) * 3];
            pixel[0] = static_cast<std::uint8_t>((x + y) / 40 % 2 ? 230 : 20);
            pixel[1] = static_cast<std::uint8_t>(x * 255 / width);
            pixel[2] = static_cast<std::uint8_t>(y * 255 / height);
        }
    }
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    const int failed = tjCompress2(handle, pixels.data(), width, 0, height, TJPF_RGB, &out, &size,
                                   subsampling, 80, TJFLAG_PROGRESSIVE);
    Bytes bytes(out, out + (failed ? 0 : size));
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

// The same file claiming another size in its frame header: what a reader learns from the header alone.
Bytes claimingSize(Bytes jpeg, int width, int height) {
    for (std::size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC2) {  // start of a progressive frame
            jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
            jpeg[i + 6] = static_cast<std::uint8_t>(height);
            jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
            jpeg[i + 8] = static_cast<std::uint8_t>(width);
            return jpeg;
        }
    }
    return {};
}

struct CapturedLog {
    std::mutex mutex;
    std::vector<std::string> lines;
    static void sink(const platform::LogRecord& record, void* context) {
        auto* self = static_cast<CapturedLog*>(context);
        std::lock_guard lock(self->mutex);
        self->lines.emplace_back(record.message);
    }
};

TEST(PresentationImageDecoder, APictureOfExactlyTheLimitDecodesToTheLongestSide) {
    auto png = testing::blackPNG(10000, 10000);
    auto picture = PresentationImageDecoder::decode(png, PresentationImageDecoder::maxPixelSize);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->size(), (Annotations::Size{4096, 4096}));
    EXPECT_TRUE(picture->isOpaque);
}

// 12 MP in 4:4:4 holds 72 MB of coefficients while it decodes, as does 24 MP in 4:2:0.
TEST(PresentationImageDecoder, ACameraSizedProgressiveJPEGIsShown) {
    const Bytes jpeg = progressiveJPEG(4000, 3000, TJSAMP_444);
    ASSERT_FALSE(jpeg.empty());
    const auto picture = PresentationImageDecoder::decode(jpeg, PresentationImageDecoder::maxPixelSize);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->size(), (Annotations::Size{4000, 3000}));
    const std::uint8_t* pixel = picture->image.pixels() + picture->image.stride() * 1500 + 4 * 2000;
    EXPECT_NEAR(pixel[0], 127, 4) << "blue grows downwards";
    EXPECT_NEAR(pixel[1], 127, 4) << "green grows to the right";
}

TEST(PresentationImageDecoder, AProgressiveJPEGTooLargeToDecodeIsRefusedWithALineInTheLog) {
    const Bytes jpeg = claimingSize(progressiveJPEG(64, 64, TJSAMP_420), 8000, 6000);
    ASSERT_FALSE(jpeg.empty());
    CapturedLog log;
    const auto previous = platform::setLogSink(&CapturedLog::sink, &log);
    auto worker = std::make_shared<platform::DispatchQueue>("test.decodes");
    auto queue = PresentationImageDecodeQueue::make({worker});
    std::vector<bool> results;
    TrackpadProtocol::UUID phone;
    queue->submit(phone, jpeg, [&](auto picture) { results.push_back(picture.has_value()); });
    worker->sync([] {});
    platform::setLogSink(previous.first, previous.second);
    EXPECT_EQ(results, std::vector<bool>{false});
    const std::vector<std::string> expected{
        "A picture was not shown: decoding its 8000x6000 pixels would need 138 MiB, more than the 96 MiB a "
        "picture may use"};
    EXPECT_EQ(log.lines, expected);
}

}  // namespace
}  // namespace PresentationImages
