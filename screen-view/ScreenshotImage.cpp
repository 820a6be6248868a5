#include "screen-view/ScreenshotImage.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "platform/imaging/Codecs.h"
#include "screen-view/ScreenViewSizing.h"

namespace ScreenView::ScreenshotImage {

std::optional<Data> jpeg(const BgraImage& image, int maxPixelLength, std::size_t maxByteCount, double quality,
                         const JpegEncoder& encode) {
    const JpegEncoder& encoder = encode ? encode : JpegEncoder(encodeJpegWithin);
    // The JPEG when the encoding fits; none with `failed` set when the encoder failed.
    bool failed = false;
    const auto fitting = [&](const BgraImage& input, double step) -> std::optional<Data> {
        JpegEncoding encoding = encoder(input, step, maxByteCount);
        if (encoding.jpeg && !encoding.jpeg->empty()) {
            if (encoding.jpeg->size() <= maxByteCount) {
                return std::move(encoding.jpeg);
            }
        } else if (!encoding.overBudget) {
            failed = true;
        }
        return std::nullopt;
    };
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
        if (std::optional<Data> data = fitting(*current, step); data || failed) {
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
        if (std::optional<Data> data = fitting(*resized, 0.6); data || failed) {
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

JpegEncoding encodeJpegWithin(const BgraImage& image, double quality, std::size_t maxByteCount) {
    const int q = static_cast<int>(std::lround(std::clamp(quality, 0.01, 1.0) * 100));
    auto jpeg = platform::imaging::encodeJPEGWithin(image.view(), q, maxByteCount);
    if (!jpeg) {
        return {};
    }
    if (!*jpeg) {
        return {std::nullopt, true};
    }
    return {std::move(*jpeg)};
}

// Input pixel j spans [j * out, (j + 1) * out) and output pixel i spans [i * in, (i + 1) * in) in units of
// 1 / (in * out) of the input, so every overlap is a whole number, each output pixel's overlaps add up to
// `in` exactly, and the sums below are exact integers in a double.
namespace {

std::int64_t overlap(std::int64_t source, std::int64_t target, std::int64_t in, std::int64_t out) {
    const std::int64_t begin = std::max(source * out, target * in);
    const std::int64_t end = std::min((source + 1) * out, (target + 1) * in);
    return std::max<std::int64_t>(end - begin, 0);
}

}  // namespace

std::unique_ptr<BandScaler> BandScaler::make(int sourceWidth, int sourceHeight, int width, int height) {
    constexpr int maxSource = 32767;  // the largest X screen
    if (sourceWidth < 1 || sourceHeight < 1 || sourceWidth > maxSource || sourceHeight > maxSource ||
        width < 1 || height < 1 || width > maxImageSide || height > maxImageSide) {
        return nullptr;
    }
    return std::unique_ptr<BandScaler>(new BandScaler(sourceWidth, sourceHeight, width, height));
}

BandScaler::BandScaler(int sourceWidth, int sourceHeight, int width, int height)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      width_(width),
      height_(height),
      horizontal_(static_cast<std::size_t>(width) * 3),
      output_(std::make_shared<BgraImage>(width, height)) {}

void BandScaler::addRows(const std::uint8_t* pixels, std::size_t stride, int rows) {
    for (int row = 0; row < rows && nextRow_ < sourceHeight_; ++row) {
        addRow(pixels + static_cast<std::size_t>(row) * stride);
    }
}

void BandScaler::addRow(const std::uint8_t* row) {
    const std::int64_t in = sourceWidth_;
    const std::int64_t out = width_;
    for (std::int64_t i = 0; i < out; ++i) {
        double sums[3] = {0, 0, 0};
        const std::int64_t first = i * in / out;
        const std::int64_t last = std::min(((i + 1) * in + out - 1) / out, in);  // one past the last
        for (std::int64_t j = first; j < last; ++j) {
            const auto weight = static_cast<double>(overlap(j, i, in, out));
            const std::uint8_t* pixel = row + 4 * j;
            sums[0] += weight * pixel[0];
            sums[1] += weight * pixel[1];
            sums[2] += weight * pixel[2];
        }
        std::copy(sums, sums + 3, horizontal_.begin() + 3 * i);
    }
    // The output rows this input row covers.
    const std::int64_t y = nextRow_++;
    const std::int64_t firstOut = y * height_ / sourceHeight_;
    const std::int64_t lastOut = std::min(((y + 1) * height_ + sourceHeight_ - 1) / sourceHeight_, height_);
    for (std::int64_t k = firstOut; k < lastOut; ++k) {
        const auto weight = static_cast<double>(overlap(y, k, sourceHeight_, height_));
        if (weight == 0) {
            continue;
        }
        std::vector<double>& sums = open_[k];
        if (sums.empty()) {
            sums.assign(horizontal_.size(), 0.0);
        }
        for (std::size_t n = 0; n < sums.size(); ++n) {
            sums[n] += weight * horizontal_[n];
        }
    }
    // Output rows whose area ends within the rows read so far are complete.
    const double total = static_cast<double>(sourceWidth_) * static_cast<double>(sourceHeight_);
    while (!open_.empty() && (open_.begin()->first + 1) * sourceHeight_ <= nextRow_ * height_) {
        const std::int64_t k = open_.begin()->first;
        const std::vector<double>& sums = open_.begin()->second;
        std::uint8_t* target = output_->row(static_cast<int>(k));
        for (std::int64_t i = 0; i < width_; ++i) {
            for (int channel = 0; channel < 3; ++channel) {
                const double value = std::floor(sums[static_cast<std::size_t>(3 * i + channel)] / total + 0.5);
                target[4 * i + channel] = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
            }
            target[4 * i + 3] = 0xff;
        }
        open_.erase(open_.begin());
    }
}

std::shared_ptr<BgraImage> BandScaler::finish() {
    if (nextRow_ < sourceHeight_) {
        return nullptr;
    }
    return output_;
}

}  // namespace ScreenView::ScreenshotImage
