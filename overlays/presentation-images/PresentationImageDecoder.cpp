#include "overlays/presentation-images/PresentationImageDecoder.h"

#include "platform/imaging/Codecs.h"

namespace PresentationImages {

namespace {

// None once `stop` is raised: it is looked at every few rows, as the decode looks at it, since a picture of
// 16 megapixels takes some ten milliseconds to look over.
std::optional<bool> hasTransparency(const platform::imaging::Bitmap& bitmap, const std::atomic<bool>* stop) {
    constexpr std::size_t lookPixels = 64 * 1024;
    std::size_t sinceLook = lookPixels;
    for (int y = 0; y < bitmap.height(); ++y) {
        if (stop && sinceLook >= lookPixels) {
            if (stop->load(std::memory_order_relaxed))
                return std::nullopt;
            sinceLook = 0;
        }
        sinceLook += static_cast<std::size_t>(bitmap.width());
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
                                                                         int maxPixelSize,
                                                                         std::string* refusal,
                                                                         const std::atomic<bool>* stop) {
    using namespace platform::imaging;
    const auto refuse = [&](const std::string& why) -> std::optional<PresentationImagePicture> {
        if (refusal)
            *refusal = "A picture was not shown: " + why;
        return std::nullopt;
    };
    const auto mebibytes = [](std::uint64_t bytes) { return std::to_string((bytes + (1 << 20) - 1) >> 20); };
    if (data.empty() || maxPixelSize < 1)
        return refuse("it is empty");
    // The header alone decides whether the picture is acceptable, before any pixel buffer exists.
    auto info = readImageInfo(data, stop);
    if (!info && info.error() == ImageError::stopped)
        return std::nullopt;
    if (!info && info.error() == ImageError::unsupported)
        return refuse("it is an arithmetic-coded JPEG, which is not decoded");
    if (!info || info->width < 1 || info->height < 1)
        return refuse("it is not a readable JPEG or PNG image");
    const std::string size = std::to_string(info->width) + "x" + std::to_string(info->height);
    if (static_cast<std::int64_t>(info->width) * info->height > maxPixelCount)
        return refuse("its " + size + " pixels are more than " + std::to_string(maxPixelCount));
    if (info->workingBytes > workingMemory)
        return refuse("decoding its " + size + " pixels would need " + mebibytes(info->workingBytes) +
                      " MiB, more than the " + mebibytes(workingMemory) + " MiB a picture may use");

    DecodeOptions options;
    options.maxPixels = static_cast<std::uint64_t>(maxPixelCount);
    options.longestSide = maxPixelSize;
    options.format = PixelFormat::bgra;
    options.applyOrientation = true;
    const std::size_t memory = info->format == ImageFormat::png ? pngWorkingMemory : workingMemory;
    options.memoryBudget = memory;
    options.stop = stop;
    auto bitmap = decodeImage(data, options);
    if (!bitmap) {
        switch (bitmap.error()) {
            case ImageError::stopped:
                return std::nullopt;
            case ImageError::tooLarge:
                return refuse("decoding its " + size + " pixels would need more than the " +
                              mebibytes(memory) + " MiB a picture may use");
            case ImageError::tooMuchWork:
                return refuse("decoding its " + size + " pixels would take more work than a picture may");
            default:
                return refuse("its " + size + " image is damaged or cut short");
        }
    }
    if (bitmap->width() < 1 || bitmap->height() < 1)
        return refuse("its " + size + " image decoded to nothing");
    if (info->format == ImageFormat::jpeg)
        return PresentationImagePicture{std::move(*bitmap), true};
    const std::optional<bool> transparent = hasTransparency(*bitmap, stop);
    if (!transparent)
        return std::nullopt;
    return PresentationImagePicture{std::move(*bitmap), !*transparent};
}

}  // namespace PresentationImages
