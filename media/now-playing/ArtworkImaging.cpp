#include <cmath>
#include <memory>
#include <string>

#include "media/now-playing/ArtworkScaler.h"
#include "platform/BudgetedNotices.h"
#include "platform/Log.h"
#include "platform/imaging/Codecs.h"

namespace media {
namespace {

namespace imaging = platform::imaging;

const platform::Logger logger("dev.quelmar.trackpad.mac", "NowPlaying");

// Puts a straight-alpha BGRA image over opaque black, in place: the colour times its alpha.
void overBlack(imaging::Bitmap& bitmap) {
    std::uint8_t* pixels = bitmap.mutablePixels();
    for (int y = 0; y < bitmap.height(); ++y) {
        std::uint8_t* row = pixels + static_cast<std::size_t>(y) * bitmap.stride();
        for (int x = 0; x < bitmap.width(); ++x) {
            std::uint8_t* pixel = row + 4 * x;
            const unsigned alpha = pixel[3];
            if (alpha != 255) {
                for (int c = 0; c < 3; ++c) {
                    pixel[c] = static_cast<std::uint8_t>((pixel[c] * alpha + 127) / 255);
                }
                pixel[3] = 255;
            }
        }
    }
}

}  // namespace

ArtworkScaler::Imaging ArtworkScaler::systemImaging() {
    Imaging operations;
    operations.thumbnail =
        [refusals = std::make_shared<platform::BudgetedNotices>(logger, "more artworks were not shown")](
            const Data& data, int maxPixelSize, const std::atomic<bool>* stop) -> std::optional<Image> {
        imaging::DecodeOptions options;
        options.maxPixels = maximumSourcePixels;
        options.longestSide = maxPixelSize;
        options.format = imaging::PixelFormat::bgra;
        options.applyOrientation = true;
        options.stop = stop;
        imaging::ImageResult<imaging::Bitmap> decoded = imaging::decodeImage(data, options);
        if (!decoded) {
            if (decoded.error() == imaging::ImageError::unsupported) {
                refusals->notice(
                    "Artwork was not shown: it is an arithmetic-coded JPEG, which is not decoded");
            }
            if (decoded.error() == imaging::ImageError::tooMuchWork) {
                const auto info = imaging::readImageInfo(data, stop);
                refusals->notice("Artwork was not shown: decoding its " +
                                 (info
                                      ? std::to_string(info->width) + "x" + std::to_string(info->height) + " "
                                      : std::string()) +
                                 "pixels would take more work than allowed");
            }
            return std::nullopt;
        }
        overBlack(*decoded);
        return Image{decoded->width(), decoded->height(), std::move(*decoded)};
    };
    operations.resize = [](const Image& image, int width, int height) -> std::optional<Image> {
        if (image.bitmap.empty()) {
            return std::nullopt;
        }
        imaging::ImageResult<imaging::Bitmap> scaled = imaging::scale(image.bitmap.view(), width, height);
        if (!scaled) {
            return std::nullopt;
        }
        return Image{width, height, std::move(*scaled)};
    };
    operations.encode = [](const Image& image, double quality) -> std::optional<Data> {
        if (image.bitmap.empty()) {
            return std::nullopt;
        }
        imaging::ImageResult<std::vector<std::uint8_t>> jpeg =
            imaging::encodeJPEG(image.bitmap.view(), static_cast<int>(std::lround(quality * 100)));
        if (!jpeg) {
            return std::nullopt;
        }
        return std::move(*jpeg);
    };
    return operations;
}

}  // namespace media
