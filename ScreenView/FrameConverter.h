#pragma once
// Scales and converts captured BGRX pixels into I420 BT.709 limited range, the encoder's input, in one
// pass (libswscale). Keeps its scaler between frames of the same sizes.
//
// Thread: one thread at a time (the capture thread).
#include <cstdint>
#include <memory>

#include "ScreenView/PixelBuffers.h"

namespace ScreenView {

class FrameConverter {
  public:
    FrameConverter();
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // False when the sizes cannot be converted (the scaler refused them).
    bool convert(const std::uint8_t* bgrx, int stride, int width, int height, VideoFrame& out);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ScreenView
