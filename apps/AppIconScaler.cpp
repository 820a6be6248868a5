#include "apps/AppIconScaler.h"

#include <algorithm>
#include <cmath>

#include "apps/IconImages.h"
#include "platform/imaging/Bitmap.h"

namespace Apps {

AppIconScaler::AppIconScaler(long long maxByteCount)
    : maxByteCount_(static_cast<int>(std::clamp<long long>(maxByteCount, 0, largestByteCount))) {}

std::optional<IconBitmap> AppIconScaler::drawCentred(const IconBitmap& image, int side) {
    if (!image.isValid() || side < 1) {
        return std::nullopt;
    }
    const double scale = static_cast<double>(side) / std::max({image.width, image.height, 1});
    const int drawnWidth = std::clamp(static_cast<int>(std::lround(image.width * scale)), 1, side);
    const int drawnHeight = std::clamp(static_cast<int>(std::lround(image.height * scale)), 1, side);
    IconBitmap canvas;
    canvas.width = side;
    canvas.height = side;
    canvas.pixels.assign(static_cast<std::size_t>(side) * side * 4, 0);
    const int left = (side - drawnWidth) / 2;
    const int top = (side - drawnHeight) / 2;
    // Box filtering, with alpha premultiplied around it so transparent edges keep no dark fringes.
    const platform::imaging::ImageView view{image.pixels.data(), image.width, image.height,
                                            static_cast<std::size_t>(image.width) * 4,
                                            platform::imaging::PixelFormat::rgba};
    platform::imaging::ImageResult<platform::imaging::Bitmap> drawn =
        platform::imaging::scale(view, drawnWidth, drawnHeight, platform::imaging::ScaleFilter::box);
    if (!drawn) {
        return std::nullopt;
    }
    for (int y = 0; y < drawnHeight; ++y) {
        const std::uint8_t* row = drawn->pixels() + static_cast<std::size_t>(y) * drawn->stride();
        std::copy(row, row + static_cast<std::size_t>(drawnWidth) * 4,
                  canvas.pixels.begin() +
                      static_cast<std::ptrdiff_t>((static_cast<std::size_t>(top + y) * side + left) * 4));
    }
    return canvas;
}

std::optional<std::vector<std::uint8_t>> AppIconScaler::pngData(const IconBitmap& image,
                                                                int pixelSize) const {
    if (!image.isValid()) {
        return std::nullopt;
    }
    int side = std::max(1, std::min(pixelSize, std::max(image.width, image.height)));
    while (true) {
        if (std::optional<IconBitmap> canvas = drawCentred(image, side)) {
            std::optional<std::vector<std::uint8_t>> png = encodePNG(*canvas);
            if (png && png->size() <= static_cast<std::size_t>(maxByteCount_)) {
                return png;
            }
        }
        if (side * 3 < 64) {
            return std::nullopt;
        }
        side = side * 3 / 4;
    }
}

std::optional<std::vector<std::uint8_t>> AppIconScaler::pngData(std::span<const std::uint8_t> imageData,
                                                                int pixelSize, const IconRenderer& renderer) const {
    std::optional<IconBitmap> image = decodeIcon(imageData, std::clamp(pixelSize, 1, maxIconSide), renderer);
    if (!image) {
        return std::nullopt;
    }
    return pngData(*image, pixelSize);
}

}  // namespace Apps
