#pragma once
// Turns the encoded picture a phone sent (JPEG or PNG) into a bounded bitmap. The size is read from the
// header first: empty, unreadable or over-large pictures are refused before any pixel buffer exists.
// Reentrant; run off the main thread.
#include <cstdint>
#include <optional>
#include <span>

#include "overlays/presentation-images/PresentationImagePicture.h"

namespace PresentationImages {

struct PresentationImageDecoder {
    static constexpr int maxPixelSize = 4096;
    static constexpr std::int64_t maxPixelCount = 100000000;

    // The picture with its orientation applied, its longer side at most `maxPixelSize` (never
    // enlarged); none for empty, unknown, truncated or corrupt data and for more than maxPixelCount
    // source pixels.
    static std::optional<PresentationImagePicture> decode(std::span<const std::uint8_t> data,
                                                          int maxPixelSize);
};

}  // namespace PresentationImages
