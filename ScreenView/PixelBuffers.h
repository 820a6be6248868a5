#pragma once
// The pixel containers that travel between capture, encoder and screenshots. Both are written once by
// their producer and then shared read-only (std::shared_ptr<const ...>), so no frame is copied on its way.
#include <cstddef>
#include <cstdint>
#include <memory>

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
    std::size_t sizeY() const { return static_cast<std::size_t>(strideY_) * static_cast<std::size_t>(height_); }
    std::size_t sizeUV() const {
        return static_cast<std::size_t>(strideUV_) * static_cast<std::size_t>(height_ / 2);
    }

    int width_;
    int height_;
    int strideY_;
    int strideUV_;
    std::unique_ptr<std::uint8_t[]> storage_;
};

// 32-bit pixels in memory order B, G, R, X (the alpha byte is ignored), sRGB.
class BgraImage {
public:
    // Throws std::invalid_argument for a size below 1x1 or above 16384 per side.
    BgraImage(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }
    int stride() const { return width_ * 4; }
    std::uint8_t* data() { return storage_.get(); }
    const std::uint8_t* data() const { return storage_.get(); }
    std::uint8_t* row(int y) { return storage_.get() + static_cast<std::size_t>(y) * stride(); }
    const std::uint8_t* row(int y) const { return storage_.get() + static_cast<std::size_t>(y) * stride(); }
    std::size_t byteCount() const { return static_cast<std::size_t>(stride()) * static_cast<std::size_t>(height_); }

private:
    int width_;
    int height_;
    std::unique_ptr<std::uint8_t[]> storage_;
};

}  // namespace ScreenView
