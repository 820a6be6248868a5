#include "screen-view/PixelBuffers.h"

#include <malloc.h>

#include <mutex>
#include <new>
#include <stdexcept>

namespace ScreenView {
namespace {

constexpr int maxSide = 16384;

int paddedTo32(int bytes) {
    return (bytes + 31) & ~31;
}

}  // namespace

VideoFrame::VideoFrame(int width, int height) : width_(width), height_(height) {
    if (width < 2 || height < 2 || width > maxSide || height > maxSide || width % 2 != 0 || height % 2 != 0) {
        throw std::invalid_argument("video frame size must be even, from 2 to 16384 per side");
    }
    strideY_ = paddedTo32(width);
    strideUV_ = paddedTo32(width / 2);
    // for_overwrite: the producer fills every plane, so zeroing tens of megabytes per frame is waste.
    storage_ = std::make_unique_for_overwrite<std::uint8_t[]>(sizeY() + 2 * sizeUV());
}

BgraImage::BgraImage(int width, int height) {
    if (width < 1 || height < 1 || width > maxSide || height > maxSide) {
        throw std::invalid_argument("image size must be from 1 to 16384 per side");
    }
    auto bitmap = platform::imaging::Bitmap::create(width, height, platform::imaging::PixelFormat::bgrx,
                                                    std::uint64_t{maxSide} * maxSide);
    if (!bitmap) {
        throw std::bad_alloc();
    }
    bitmap_ = std::move(*bitmap);
}

BgraImage::BgraImage(platform::imaging::Bitmap bitmap) : bitmap_(std::move(bitmap)) {
    if (bitmap_.empty() || bitmap_.format() == platform::imaging::PixelFormat::rgba) {
        throw std::invalid_argument("a screen image is BGRX");
    }
}

void keepLargeBlocksInPagesOfTheirOwn() {
    static std::once_flag once;
    std::call_once(once, [] { ::mallopt(M_MMAP_THRESHOLD, 1 << 20); });
}

void giveFreedPagesBack() {
    ::malloc_trim(0);
}

}  // namespace ScreenView
