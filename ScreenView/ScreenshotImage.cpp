#include "ScreenView/ScreenshotImage.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "ScreenView/ScreenViewSizing.h"
#include "platform/imaging/Codecs.h"

namespace ScreenView::ScreenshotImage {

std::optional<Data> jpeg(const BgraImage& image, int maxPixelLength, std::size_t maxByteCount, double quality,
                         const JpegEncoder& encode) {
    const JpegEncoder& encoder = encode ? encode : JpegEncoder(encodeJpeg);
    const PixelSize fitted = ScreenViewSizing::fit(image.width(), image.height(), maxPixelLength);
    std::shared_ptr<BgraImage> resized;
    const BgraImage* current = &image;
    if (fitted.width != image.width() || fitted.height != image.height()) {
        resized = resize(image, fitted.width, fitted.height);
        if (!resized) {
            return std::nullopt;
        }
        current = resized.get();
    }
    std::vector<double> ladder;
    if (!std::isnan(quality)) {
        ladder.push_back(quality);
    }
    if (quality >= 0.6) {
        ladder.push_back(0.6);
    }
    if (quality >= 0.4) {
        ladder.push_back(0.4);
    }
    for (double step : ladder) {
        std::optional<Data> data = encoder(*current, step);
        if (!data || data->empty()) {
            return std::nullopt;
        }
        if (data->size() <= maxByteCount) {
            return data;
        }
    }
    int width = fitted.width;
    int height = fitted.height;
    if (width <= 1 && height <= 1) {
        return std::nullopt;
    }
    for (int halving = 0; halving < 3; ++halving) {
        width = std::max(width / 2, 1);
        height = std::max(height / 2, 1);
        // Always from the input image, so that the smaller sizes do not add the blur of earlier redraws.
        resized = resize(image, width, height);
        if (!resized) {
            return std::nullopt;
        }
        std::optional<Data> data = encoder(*resized, 0.6);
        if (!data || data->empty()) {
            return std::nullopt;
        }
        if (data->size() <= maxByteCount) {
            return data;
        }
    }
    return std::nullopt;
}

std::shared_ptr<BgraImage> resize(const BgraImage& image, int pixelWidth, int pixelHeight) {
    if (pixelWidth < 1 || pixelHeight < 1 || pixelWidth > 16384 || pixelHeight > 16384) {
        return nullptr;
    }
    // Box filtering averages whole areas when shrinking, as a high-quality redraw does.
    auto scaled =
        platform::imaging::scale(image.view(), pixelWidth, pixelHeight, platform::imaging::ScaleFilter::box);
    if (!scaled) {
        return nullptr;
    }
    return std::make_shared<BgraImage>(std::move(*scaled));
}

std::optional<Data> encodeJpeg(const BgraImage& image, double quality) {
    const int q = static_cast<int>(std::lround(std::clamp(quality, 0.01, 1.0) * 100));
    auto jpeg = platform::imaging::encodeJPEG(image.view(), q);
    if (!jpeg) {
        return std::nullopt;
    }
    return std::move(*jpeg);
}

}  // namespace ScreenView::ScreenshotImage
