#include "overlays/presentation-images/PresentationImageDecoder.h"

#include "platform/imaging/Codecs.h"

namespace PresentationImages {

namespace {

bool hasTransparency(const platform::imaging::Bitmap& bitmap) {
    for (int y = 0; y < bitmap.height(); ++y) {
        const std::uint8_t* row = bitmap.pixels() + bitmap.stride() * static_cast<std::size_t>(y);
        for (int x = 0; x < bitmap.width(); ++x) {
            if (row[4 * x + 3] != 255)
                return true;
        }
    }
    return false;
}

}  // namespace

std::optional<PresentationImagePicture> PresentationImageDecoder::decode(std::span<const std::uint8_t> data,
                                                                         int maxPixelSize) {
    using namespace platform::imaging;
    if (data.empty() || maxPixelSize < 1)
        return std::nullopt;
    // The header alone decides whether the picture is acceptable, before any pixel buffer exists.
    auto info = readImageInfo(data);
    if (!info || info->width < 1 || info->height < 1)
        return std::nullopt;
    if (static_cast<std::int64_t>(info->width) * info->height > maxPixelCount)
        return std::nullopt;

    DecodeOptions options;
    options.maxPixels = static_cast<std::uint64_t>(maxPixelCount);
    options.longestSide = maxPixelSize;
    options.format = PixelFormat::bgra;
    options.applyOrientation = true;
    auto bitmap = decodeImage(data, options);
    if (!bitmap || bitmap->width() < 1 || bitmap->height() < 1)
        return std::nullopt;
    bool opaque = info->format == ImageFormat::jpeg || !hasTransparency(*bitmap);
    return PresentationImagePicture{std::move(*bitmap), opaque};
}

}  // namespace PresentationImages
