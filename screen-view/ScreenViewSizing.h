#pragma once
// The size of a live stream and of a screenshot: fitted into the requested longest side, never enlarged.
#include <cstdint>
#include <utility>

#include "protocol/messages/Types.h"

namespace ScreenView {

struct PixelSize {
    int width = 0;
    int height = 0;
    bool operator==(const PixelSize&) const = default;
};

namespace ScreenViewSizing {

// Scales (width, height) so that its longer side is at most maxPixelLength, rounding halves away from
// zero; each side stays within 1...limit. Sizes below 1 count as 1.
PixelSize fit(int width, int height, int maxPixelLength);
// 4096 for H.264, 8192 for HEVC.
int maxPixelLength(TrackpadProtocol::ScreenVideoCodec codec);
// The encoder's and the capture's size: fitted to the codec's and the request's limit, then each side
// rounded down to even and raised to at least 16.
PixelSize outputSize(const TrackpadProtocol::ScreenDisplay& display, std::uint16_t maxPixelLength,
                     TrackpadProtocol::ScreenVideoCodec codec);

}  // namespace ScreenViewSizing
}  // namespace ScreenView
