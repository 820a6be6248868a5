#include "platform/imaging/Codecs.h"

namespace platform::imaging {

std::optional<std::unique_lock<std::mutex>> takeDecodeTurn(std::uint64_t workingBytes,
                                                           const std::atomic<bool>* stop) {
    static std::mutex turn;
    if (workingBytes <= largeDecodeBytes)
        return std::unique_lock<std::mutex>();
    if (stop && stop->load())
        return std::nullopt;
    return std::unique_lock(turn);
}

ImageResult<ImageInfo> readImageInfo(std::span<const std::uint8_t> data) {
    switch (detectFormat(data).value_or(ImageFormat::jpeg)) {
        case ImageFormat::jpeg:
            return readJPEGInfo(data);
        case ImageFormat::png:
            return readPNGInfo(data);
    }
    return ImageError::unknownFormat;
}

ImageResult<Bitmap> decodeImage(std::span<const std::uint8_t> data, const DecodeOptions& options) {
    const auto format = detectFormat(data);
    if (!format)
        return ImageError::unknownFormat;
    return *format == ImageFormat::jpeg ? decodeJPEG(data, options) : decodePNG(data, options);
}

}  // namespace platform::imaging
