#include "media/now-playing/ArtworkScaler.h"

#include <algorithm>
#include <cmath>

namespace media {

ArtworkScaler::ArtworkScaler(int maxPixelSize, long maxByteCount)
    : ArtworkScaler(maxPixelSize, maxByteCount, systemImaging()) {}

ArtworkScaler::ArtworkScaler(int maxPixelSize, long maxByteCount, Imaging imaging)
    : maxPixelSize_(std::max(maxPixelSize, minimumPixelSize)),
      maxByteCount_(std::clamp(maxByteCount, 0L, maximumByteCount)),
      imaging_(std::move(imaging)) {}

std::pair<int, int> ArtworkScaler::renderSize(int width, int height, int side) {
    const int longest = std::max({width, height, 1});
    const double scale = static_cast<double>(side) / longest;
    const auto edge = [&](int length) { return std::max(1, static_cast<int>(std::lround(length * scale))); };
    return {edge(width), edge(height)};
}

std::vector<int> ArtworkScaler::sideLadder(int firstSide) {
    std::vector<int> sides{firstSide};
    while (sides.back() > 47) {
        sides.push_back(2 * sides.back() / 3);
    }
    return sides;
}

std::optional<Data> ArtworkScaler::scale(const Data& data, const std::atomic<bool>* stop) const {
    if (data.empty() || data.size() > maximumSourceBytes || !imaging_.thumbnail) {
        return std::nullopt;
    }
    const std::optional<Image> thumbnail = imaging_.thumbnail(data, maxPixelSize_, stop);
    if (!thumbnail || thumbnail->width < 1 || thumbnail->height < 1) {
        return std::nullopt;
    }
    // Each size and quality tried costs a millisecond or two, and a budget that nothing fits tries them all:
    // the stop is looked at before each, as the decode looks at it.
    const auto stopped = [stop] { return stop && stop->load(std::memory_order_relaxed); };
    const int firstSide = std::min(std::max(thumbnail->width, thumbnail->height), maxPixelSize_);
    for (const int side : sideLadder(firstSide)) {
        if (stopped()) {
            return std::nullopt;
        }
        const auto [width, height] = renderSize(thumbnail->width, thumbnail->height, side);
        std::optional<Image> rendered;
        if (width == thumbnail->width && height == thumbnail->height) {
            rendered = *thumbnail;
        } else if (imaging_.resize) {
            rendered = imaging_.resize(*thumbnail, width, height);
        }
        if (!rendered) {
            return std::nullopt;
        }
        for (const double quality : qualities) {
            if (stopped()) {
                return std::nullopt;
            }
            std::optional<Data> jpeg = imaging_.encode ? imaging_.encode(*rendered, quality) : std::nullopt;
            if (jpeg && jpeg->size() <= static_cast<std::size_t>(maxByteCount_)) {
                return jpeg;
            }
        }
    }
    return std::nullopt;
}

}  // namespace media
