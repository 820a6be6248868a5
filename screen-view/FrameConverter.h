#pragma once
// Converts captured BGRX pixels into I420 BT.709 limited range, the encoder's input, in one pass: our own
// SIMD converter at the same size, libswscale when the frame must also be scaled (it keeps its scaler
// between frames of the same sizes).
//
// Thread: one thread at a time (the capture thread).
#include <cstdint>
#include <memory>

#include "screen-view/PixelBuffers.h"

namespace ScreenView {

class FrameConverter {
  public:
    FrameConverter();
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // False when the sizes cannot be converted (the scaler refused them).
    bool convert(const std::uint8_t* bgrx, int stride, int width, int height, VideoFrame& out);
    // Only the frame's rows [firstRow, endRow) (widened to even), from the same rows of a source of the
    // frame's own size; false for another size.
    bool convertRows(const std::uint8_t* bgrx, int stride, int width, int height, VideoFrame& out,
                     int firstRow, int endRow);
    // Gives back the scaler and its buffers; the next scaled frame makes them again.
    void release();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ScreenView
