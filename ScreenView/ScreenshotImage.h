#pragma once
// Screenshots as JPEG within a byte budget: fitted to the requested longest side, then a short ladder of
// qualities, then up to three halvings of the size.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "ScreenView/PixelBuffers.h"
#include "TrackpadProtocol/Types.h"

namespace ScreenView::ScreenshotImage {

using TrackpadProtocol::Data;

// The largest JPEG a screenshot may carry: the 15 MiB large-payload limit less the 5-byte header of the
// screenshot document.
inline constexpr std::size_t maxByteCount = 15728635;

// Encodes one image at a quality from 0.1 to 1.0; none when the encoder fails.
using JpegEncoder = std::function<std::optional<Data>(const BgraImage& image, double quality)>;

// The JPEG of `image` fitted to maxPixelLength within maxByteCount bytes, or none when no size and quality
// tried fits (at most six encodings). `encode` defaults to encodeJpeg.
std::optional<Data> jpeg(const BgraImage& image, int maxPixelLength, std::size_t maxByteCount, double quality,
                         const JpegEncoder& encode = {});
// The image redrawn at the given size with area averaging; null for a size out of range.
std::shared_ptr<BgraImage> resize(const BgraImage& image, int pixelWidth, int pixelHeight);
// Baseline JPEG, 4:2:0, quality mapped to 1...100.
std::optional<Data> encodeJpeg(const BgraImage& image, double quality);

}  // namespace ScreenView::ScreenshotImage
