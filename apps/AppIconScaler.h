#pragma once
// Draws an icon centred into a transparent square and encodes it as PNG within a byte budget, trying
// smaller squares (each a quarter smaller) until the PNG fits.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "apps/AppCatalogTypes.h"
#include "apps/IconRenderer.h"

namespace Apps {

class AppIconScaler {
  public:
    static constexpr int largestByteCount = 61440;

    // The budget is clamped to 0...61440.
    explicit AppIconScaler(long long maxByteCount);
    int maxByteCount() const { return maxByteCount_; }

    // The first side is pixelSize limited to the image's longest side (at least 1); on failure or
    // overflow the side becomes floor(side * 3 / 4) until that would drop below 16.
    std::optional<std::vector<std::uint8_t>> pngData(const IconBitmap& image, int pixelSize) const;
    // Decodes PNG, SVG or XPM bytes, then as above. Empty or undecodable bytes give none.
    std::optional<std::vector<std::uint8_t>> pngData(std::span<const std::uint8_t> imageData, int pixelSize,
                                                     const IconRenderer& renderer = IconRenderer::besideProgram()) const;

    // The square of `side` pixels with the image drawn centred at its aspect ratio (exposed for tests).
    static std::optional<IconBitmap> drawCentred(const IconBitmap& image, int side);

  private:
    int maxByteCount_;
};

}  // namespace Apps
