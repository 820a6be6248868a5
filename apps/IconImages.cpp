#include "apps/IconImages.h"

#include "platform/imaging/Codecs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace Apps {

namespace {

bool startsWith(std::span<const std::uint8_t> bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

bool looksLikeSVG(std::span<const std::uint8_t> bytes) {
    const std::string_view head(reinterpret_cast<const char*>(bytes.data()),
                                std::min<std::size_t>(bytes.size(), 4096));
    return head.find("<svg") != std::string_view::npos;
}

std::optional<IconBitmap> decodePNG(std::span<const std::uint8_t> bytes, const std::atomic<bool>* stop,
                                    std::string* refusal) {
    platform::imaging::DecodeOptions options;
    options.maxPixels = static_cast<std::uint64_t>(maxIconSide) * maxIconSide;
    options.format = platform::imaging::PixelFormat::rgba;
    options.stop = stop;
    platform::imaging::ImageResult<platform::imaging::Bitmap> decoded =
        platform::imaging::decodePNG(bytes, options);
    if (!decoded && decoded.error() == platform::imaging::ImageError::tooMuchWork && refusal) {
        const auto info = platform::imaging::readPNGInfo(bytes, stop);
        *refusal =
            "An icon was not shown: decoding its " +
            (info ? std::to_string(info->width) + "x" + std::to_string(info->height) + " " : std::string()) +
            "pixels would take more work than allowed";
    }
    if (!decoded || decoded->width() > maxIconSide || decoded->height() > maxIconSide) {
        return std::nullopt;
    }
    IconBitmap bitmap;
    bitmap.width = decoded->width();
    bitmap.height = decoded->height();
    // Row after row, the stop looked at every few rows as the decode looks at it: an icon of 4096 x 4096
    // takes tens of milliseconds to copy.
    constexpr int lookPixels = 64 * 1024;
    const int rowsPerLook = std::max(1, lookPixels / bitmap.width);
    bitmap.pixels.reserve(static_cast<std::size_t>(bitmap.width) * bitmap.height * 4);
    for (int y = 0; y < bitmap.height; ++y) {
        if (stop && y % rowsPerLook == 0 && stop->load(std::memory_order_relaxed)) {
            return std::nullopt;
        }
        const std::uint8_t* row = decoded->pixels() + static_cast<std::size_t>(y) * decoded->stride();
        bitmap.pixels.insert(bitmap.pixels.end(), row, row + static_cast<std::size_t>(bitmap.width) * 4);
    }
    return bitmap;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> encodePNG(const IconBitmap& image) {
    if (!image.isValid()) {
        return std::nullopt;
    }
    const platform::imaging::ImageView view{image.pixels.data(), image.width, image.height,
                                            static_cast<std::size_t>(image.width) * 4,
                                            platform::imaging::PixelFormat::rgba};
    platform::imaging::ImageResult<std::vector<std::uint8_t>> png = platform::imaging::encodePNG(view, 6);
    if (!png) {
        return std::nullopt;
    }
    return std::move(*png);
}

std::optional<IconBitmap> decodeIcon(std::span<const std::uint8_t> bytes, int side,
                                     const IconRenderer& renderer, const std::atomic<bool>* stop,
                                     std::string* refusal) {
    if (bytes.empty() || bytes.size() > maxIconFileBytes) {
        return std::nullopt;
    }
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n")) {
        return decodePNG(bytes, stop, refusal);
    }
    if (startsWith(bytes, "/* XPM */") || looksLikeSVG(bytes)) {
        return renderer.render(bytes, side);
    }
    return std::nullopt;
}

std::optional<IconBitmap> loadIconFile(const std::filesystem::path& path, int side,
                                       const IconRenderer& renderer, const std::atomic<bool>* stop,
                                       std::string* refusal) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::vector<std::uint8_t> bytes;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        static_cast<std::size_t>(info.st_size) <= maxIconFileBytes) {
        bytes.resize(static_cast<std::size_t>(info.st_size));
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
            if (got <= 0) {
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        bytes.resize(filled);
    }
    ::close(fd);
    return decodeIcon(bytes, side, renderer, stop, refusal);
}

}  // namespace Apps
