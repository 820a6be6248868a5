#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "platform/imaging/Codecs.h"
#include "platform/imaging/Exif.h"

namespace platform::imaging {
namespace {

struct HandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

int turboFormat(PixelFormat format) {
    switch (format) {
        case PixelFormat::bgra:
            return TJPF_BGRA;
        case PixelFormat::bgrx:
            return TJPF_BGRX;
        case PixelFormat::rgba:
            return TJPF_RGBA;
    }
    return TJPF_BGRA;
}

// The smallest of the library's scales (never above 1) whose output still has a longest side of at least
// `longestSide`, so that the decoded pixels stay close to the size asked for.
tjscalingfactor chooseScale(int width, int height, int longestSide) {
    tjscalingfactor best{1, 1};
    if (longestSide <= 0 || std::max(width, height) <= longestSide)
        return best;
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    std::int64_t bestLongest = std::max(width, height);
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num <= 0 || f.denom <= 0 || f.num > f.denom)
            continue;
        const std::int64_t longest = std::max(TJSCALED(width, f), TJSCALED(height, f));
        if (longest >= longestSide && longest < bestLongest) {
            best = f;
            bestLongest = longest;
        }
    }
    return best;
}

}  // namespace

ImageResult<ImageInfo> readJPEGInfo(std::span<const std::uint8_t> data) {
    if (detectFormat(data) != ImageFormat::jpeg)
        return ImageError::unknownFormat;
    Handle handle(tjInitDecompress());
    if (!handle)
        return ImageError::tooLarge;
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle.get(), data.data(), static_cast<unsigned long>(data.size()), &width, &height,
                            &subsampling, &colorspace) != 0 ||
        width <= 0 || height <= 0)
        return ImageError::corrupt;
    return ImageInfo{ImageFormat::jpeg, width, height, jpegOrientation(data)};
}

ImageResult<Bitmap> decodeJPEG(std::span<const std::uint8_t> data, const DecodeOptions& options) {
    auto info = readJPEGInfo(data);
    if (!info)
        return info.error();
    if (static_cast<std::uint64_t>(info->width) * static_cast<std::uint64_t>(info->height) > options.maxPixels)
        return ImageError::tooLarge;
    const tjscalingfactor factor = chooseScale(info->width, info->height, options.longestSide);
    const int width = TJSCALED(info->width, factor);
    const int height = TJSCALED(info->height, factor);
    auto bitmap = Bitmap::create(width, height, options.format, options.maxPixels);
    if (!bitmap || bitmap->stride() > INT_MAX)
        return ImageError::tooLarge;
    Handle handle(tjInitDecompress());
    if (!handle)
        return ImageError::tooLarge;
    // Truncated or damaged data only draws a warning from the library, which would still hand out a
    // partly grey image; such data counts as broken here. The scan limit stops progressive files built to
    // take minutes.
    if (tjDecompress2(handle.get(), data.data(), static_cast<unsigned long>(data.size()), bitmap->mutablePixels(),
                      width, static_cast<int>(bitmap->stride()), height, turboFormat(options.format),
                      TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0)
        return ImageError::corrupt;

    Bitmap result = std::move(*bitmap);
    if (options.longestSide > 0 && std::max(width, height) > options.longestSide) {
        const Size fitted = fitLongestSide(width, height, options.longestSide);
        auto scaled = scale(result.view(), fitted.width, fitted.height);
        if (!scaled)
            return scaled.error();
        result = std::move(*scaled);
    }
    if (options.applyOrientation && info->orientation != Orientation::up)
        return applyOrientation(result.view(), info->orientation);
    return result;
}

ImageResult<std::vector<std::uint8_t>> encodeJPEG(const ImageView& image, int quality) {
    if (!image.valid() || image.stride > INT_MAX || image.width > 65500 || image.height > 65500)
        return ImageError::invalidArgument;
    Handle handle(tjInitCompress());
    if (!handle)
        return ImageError::tooLarge;
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const int result = tjCompress2(handle.get(), image.pixels, image.width, static_cast<int>(image.stride),
                                   image.height, turboFormat(image.format), &output, &size, TJSAMP_420,
                                   std::clamp(quality, 1, 100), 0);
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(output, tjFree);
    if (result != 0 || !output)
        return ImageError::tooLarge;
    return std::vector<std::uint8_t>(output, output + size);
}

}  // namespace platform::imaging
