#include "ScreenView/ScreenshotImage.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "ScreenView/ScreenViewSizing.h"
#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

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
    std::shared_ptr<BgraImage> result;
    try {
        result = std::make_shared<BgraImage>(pixelWidth, pixelHeight);
    } catch (const std::invalid_argument&) {
        return nullptr;
    }
    // libyuv's ARGB is B, G, R, A in memory, which is our layout; box filtering averages whole areas
    // when shrinking, as a high-quality redraw does.
    if (libyuv::ARGBScale(image.data(), image.stride(), image.width(), image.height(), result->data(),
                          result->stride(), pixelWidth, pixelHeight, libyuv::kFilterBox) != 0) {
        return nullptr;
    }
    return result;
}

std::optional<Data> encodeJpeg(const BgraImage& image, double quality) {
    const int q = static_cast<int>(std::lround(std::clamp(quality, 0.01, 1.0) * 100));
    tjhandle handle = tjInitCompress();
    if (handle == nullptr) {
        return std::nullopt;
    }
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int status = tjCompress2(handle, image.data(), image.width(), image.stride(), image.height(), TJPF_BGRX,
                                   &buffer, &size, TJSAMP_420, q, 0);
    std::optional<Data> result;
    if (status == 0 && buffer != nullptr && size > 0) {
        result.emplace(buffer, buffer + size);
    }
    tjFree(buffer);
    tjDestroy(handle);
    return result;
}

}  // namespace ScreenView::ScreenshotImage
