#pragma once
// The pixel containers that travel between capture, encoder and screenshots. Both are written once by
// their producer and then shared read-only (std::shared_ptr<const ...>), so no frame is copied on its way.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/imaging/Bitmap.h"

namespace ScreenView {

// A planar 4:2:0 frame (I420: Y, then U and V at half size), BT.709 limited range. Rows are padded to
// 32 bytes so that SIMD converters and the encoder can read whole vectors.
class VideoFrame {
  public:
    // Throws std::invalid_argument for a size below 2x2, odd, or above 16384 per side.
    VideoFrame(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    int strideY() const { return strideY_; }
    int strideUV() const { return strideUV_; }
    std::uint8_t* dataY() { return storage_.get(); }
    std::uint8_t* dataU() { return storage_.get() + sizeY(); }
    std::uint8_t* dataV() { return storage_.get() + sizeY() + sizeUV(); }
    const std::uint8_t* dataY() const { return storage_.get(); }
    const std::uint8_t* dataU() const { return storage_.get() + sizeY(); }
    const std::uint8_t* dataV() const { return storage_.get() + sizeY() + sizeUV(); }

  private:
    std::size_t sizeY() const {
        return static_cast<std::size_t>(strideY_) * static_cast<std::size_t>(height_);
    }
    std::size_t sizeUV() const {
        return static_cast<std::size_t>(strideUV_) * static_cast<std::size_t>(height_ / 2);
    }

    int width_;
    int height_;
    int strideY_;
    int strideUV_;
    std::unique_ptr<std::uint8_t[]> storage_;
};

// 32-bit pixels in memory order B, G, R, X (the fourth byte is ignored), sRGB: a still image of a display.
// Backed by the shared imaging library's Bitmap, so scaled and encoded without copies.
class BgraImage {
  public:
    // Throws std::invalid_argument for a size below 1x1 or above 16384 per side.
    BgraImage(int width, int height);
    // Takes over a bitmap in the bgrx or bgra layout (std::invalid_argument for another one).
    explicit BgraImage(platform::imaging::Bitmap bitmap);

    int width() const { return bitmap_.width(); }
    int height() const { return bitmap_.height(); }
    int stride() const { return static_cast<int>(bitmap_.stride()); }
    std::uint8_t* data() { return bitmap_.mutablePixels(); }
    const std::uint8_t* data() const { return bitmap_.pixels(); }
    std::uint8_t* row(int y) { return data() + static_cast<std::size_t>(y) * bitmap_.stride(); }
    const std::uint8_t* row(int y) const { return data() + static_cast<std::size_t>(y) * bitmap_.stride(); }
    std::size_t byteCount() const { return bitmap_.stride() * static_cast<std::size_t>(height()); }
    platform::imaging::ImageView view() const { return bitmap_.view(); }

  private:
    platform::imaging::Bitmap bitmap_;
};

// Frames, screenshots and their encodings are blocks of megabytes. Once such blocks have been freed,
// malloc raises its mapping threshold and serves the next ones from the arenas of the threads that asked,
// which keep them afterwards (malloc_trim does not shrink those arenas' tops). A fixed threshold keeps
// every block of a megabyte or more in pages of its own, given back when freed. Once per process.
void keepLargeBlocksInPagesOfTheirOwn();

// Blocks below that threshold, such as the parts of a screenshot's answer (60 kB each, megabytes in all),
// stay in the arenas of the threads that made them once freed, and the pages under them stay resident:
// handed back to the system here (malloc_trim).
void giveFreedPagesBack();

}  // namespace ScreenView
