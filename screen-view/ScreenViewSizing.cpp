#include "screen-view/ScreenViewSizing.h"

#include <algorithm>
#include <cmath>

namespace ScreenView::ScreenViewSizing {

PixelSize fit(int width, int height, int maxPixelLength) {
    const int w = std::max(width, 1);
    const int h = std::max(height, 1);
    const int longest = std::max(w, h);
    const int limit = std::max(maxPixelLength, 1);
    if (limit >= longest) {
        return {w, h};
    }
    const double scale = static_cast<double>(limit) / static_cast<double>(longest);
    auto side = [&](int value) {
        const auto scaled = static_cast<long>(std::lround(scale * value));
        return static_cast<int>(std::clamp<long>(scaled, 1, limit));
    };
    return {side(w), side(h)};
}

int maxPixelLength(TrackpadProtocol::ScreenVideoCodec codec) {
    return codec == TrackpadProtocol::ScreenVideoCodec::hevc ? 8192 : 4096;
}

PixelSize outputSize(const TrackpadProtocol::ScreenDisplay& display, std::uint16_t maxPixelLength,
                     TrackpadProtocol::ScreenVideoCodec codec) {
    const PixelSize fitted = fit(display.pixelWidth, display.pixelHeight,
                                 std::min<int>(ScreenViewSizing::maxPixelLength(codec), maxPixelLength));
    auto even = [](int side) { return std::max(side - side % 2, 16); };
    return {even(fitted.width), even(fitted.height)};
}

}  // namespace ScreenView::ScreenViewSizing
