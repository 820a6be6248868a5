#include "platform/imaging/Bitmap.h"

#include "platform/imaging/AreaAverage.h"

#include <libyuv/planar_functions.h>
#include <libyuv/scale_argb.h>
#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

namespace platform::imaging {

namespace {

// Pixel buffers from this size on are mapped rather than taken from the heap.
constexpr std::size_t mappedBytes = 1 << 20;

// A step's looks at its watch (see StepWatch): before its first pixels, then before the next ones once
// 64 Ki pixels are done since the last look. Without a watch it never looks.
class Looks {
  public:
    explicit Looks(StepWatch* watch) : watch_(watch) {}

    // Before `pixels` more are done: none to go on, else the error the step ends with.
    std::optional<ImageError> before(std::size_t pixels) {
        if (!watch_)
            return std::nullopt;
        if (sinceLook_ >= lookPixels) {
            sinceLook_ = 0;
            if (auto ending = watch_->look())
                return ending;
        }
        sinceLook_ += pixels;
        return std::nullopt;
    }

  private:
    static constexpr std::size_t lookPixels = 64 * 1024;

    StepWatch* watch_;
    std::size_t sinceLook_ = lookPixels;
};

}  // namespace

std::string_view describe(ImageError error) {
    switch (error) {
        case ImageError::unknownFormat:
            return "not a JPEG or PNG image";
        case ImageError::corrupt:
            return "the image data is broken or cut short";
        case ImageError::tooLarge:
            return "the image has more pixels than allowed";
        case ImageError::tooMuchWork:
            return "decoding the image would take more work than allowed";
        case ImageError::unsupported:
            return "the image is an arithmetic-coded JPEG, which is not decoded";
        case ImageError::stopped:
            return "the decode was stopped";
        case ImageError::invalidArgument:
            return "invalid image arguments";
    }
    return "image error";
}

bool ImageView::valid() const {
    return pixels && width > 0 && height > 0 && width <= Bitmap::maxSide && height <= Bitmap::maxSide &&
           stride >= static_cast<std::size_t>(width) * 4;
}

std::optional<Bitmap> Bitmap::create(int width, int height, PixelFormat format, std::uint64_t maxPixels) {
    if (width <= 0 || height <= 0 || width > maxSide || height > maxSide)
        return std::nullopt;
    const auto pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (pixels > maxPixels || pixels > SIZE_MAX / 4)
        return std::nullopt;
    Bitmap bitmap;
    const std::size_t bytes = static_cast<std::size_t>(pixels) * 4;
    if (bytes >= mappedBytes) {
        // Mapped on its own, so that its memory goes back to the system the moment the last holder lets
        // go, whichever thread allocated it: the heap would keep it once its thresholds have grown.
        void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            return std::nullopt;
        bitmap.pixels_ = std::shared_ptr<std::uint8_t[]>(static_cast<std::uint8_t*>(mapped),
                                                         [bytes](std::uint8_t* p) { munmap(p, bytes); });
    } else {
        bitmap.pixels_.reset(new (std::nothrow) std::uint8_t[bytes]);
    }
    if (!bitmap.pixels_)
        return std::nullopt;
    bitmap.width_ = width;
    bitmap.height_ = height;
    bitmap.stride_ = static_cast<std::size_t>(width) * 4;
    bitmap.format_ = format;
    return bitmap;
}

std::optional<Bitmap> Bitmap::copy(const ImageView& view) {
    if (!view.valid())
        return std::nullopt;
    auto bitmap = create(view.width, view.height, view.format, UINT64_MAX);
    if (!bitmap)
        return std::nullopt;
    for (int y = 0; y < view.height; ++y)
        std::memcpy(bitmap->pixels_.get() + bitmap->stride_ * static_cast<std::size_t>(y),
                    view.pixels + view.stride * static_cast<std::size_t>(y), bitmap->stride_);
    return bitmap;
}

std::uint8_t* Bitmap::mutablePixels() {
    if (pixels_ && pixels_.use_count() > 1) {
        auto own = copy(view());
        if (!own)
            throw std::bad_alloc();
        *this = std::move(*own);
    }
    return pixels_.get();
}

bool Bitmap::samePixels(const Bitmap& other) const {
    if (width_ != other.width_ || height_ != other.height_ || format_ != other.format_)
        return false;
    for (int y = 0; y < height_; ++y)
        if (std::memcmp(pixels_.get() + stride_ * static_cast<std::size_t>(y),
                        other.pixels_.get() + other.stride_ * static_cast<std::size_t>(y),
                        static_cast<std::size_t>(width_) * 4) != 0)
            return false;
    return true;
}

bool swapsSides(Orientation orientation) {
    switch (orientation) {
        case Orientation::leftMirrored:
        case Orientation::right:
        case Orientation::rightMirrored:
        case Orientation::left:
            return true;
        default:
            return false;
    }
}

ImageResult<Bitmap> applyOrientation(const ImageView& view, Orientation orientation, StepWatch* watch) {
    if (!view.valid())
        return ImageError::invalidArgument;
    const int w = view.width;
    const int h = view.height;
    const bool swap = swapsSides(orientation);
    auto out = Bitmap::create(swap ? h : w, swap ? w : h, view.format, UINT64_MAX);
    if (!out)
        return ImageError::tooLarge;
    std::uint8_t* dst = out->mutablePixels();
    const std::size_t dstStride = out->stride();
    // For each output pixel (dx, dy), the stored pixel it shows.
    auto source = [&](int dx, int dy) -> std::pair<int, int> {
        switch (orientation) {
            case Orientation::up:
                return {dx, dy};
            case Orientation::upMirrored:
                return {w - 1 - dx, dy};
            case Orientation::down:
                return {w - 1 - dx, h - 1 - dy};
            case Orientation::downMirrored:
                return {dx, h - 1 - dy};
            case Orientation::leftMirrored:
                return {dy, dx};
            case Orientation::right:
                return {dy, h - 1 - dx};
            case Orientation::rightMirrored:
                return {w - 1 - dy, h - 1 - dx};
            case Orientation::left:
                return {w - 1 - dy, dx};
        }
        return {dx, dy};
    };
    // A row of the result is done in parts, so that the watch is looked at inside the longest rows too: one
    // turned from a column of a tall image reads a row of the source for each of its pixels.
    constexpr int partPixels = 4096;
    Looks looks(watch);
    for (int dy = 0; dy < out->height(); ++dy) {
        std::uint8_t* row = dst + dstStride * static_cast<std::size_t>(dy);
        for (int part = 0; part < out->width(); part += partPixels) {
            const int end = std::min(out->width(), part + partPixels);
            if (const auto ending = looks.before(static_cast<std::size_t>(end - part)))
                return *ending;
            for (int dx = part; dx < end; ++dx) {
                const auto [sx, sy] = source(dx, dy);
                std::memcpy(row + static_cast<std::size_t>(dx) * 4,
                            view.pixels + view.stride * static_cast<std::size_t>(sy) +
                                static_cast<std::size_t>(sx) * 4,
                            4);
            }
        }
    }
    return std::move(*out);
}

namespace {

ImageResult<bool> hasTransparency(const ImageView& view, Looks& looks) {
    if (view.format == PixelFormat::bgrx)
        return false;
    for (int y = 0; y < view.height; ++y) {
        if (const auto ending = looks.before(static_cast<std::size_t>(view.width)))
            return *ending;
        const std::uint8_t* row = view.pixels + view.stride * static_cast<std::size_t>(y);
        for (int x = 0; x < view.width; ++x)
            if (row[static_cast<std::size_t>(x) * 4 + 3] != 0xFF)
                return true;
    }
    return false;
}

}  // namespace

ImageResult<Bitmap> scale(const ImageView& view, int width, int height, ScaleFilter filter,
                          StepWatch* watch) {
    if (!view.valid() || width <= 0 || height <= 0 || view.stride > INT_MAX)
        return ImageError::invalidArgument;
    auto out = Bitmap::create(width, height, view.format, UINT64_MAX);
    if (!out)
        return ImageError::tooLarge;
    Looks looks(watch);
    const ImageResult<bool> transparency = hasTransparency(view, looks);
    if (!transparency)
        return transparency.error();
    const bool transparent = *transparency;
    if (filter == ScaleFilter::box) {
        // libyuv's box filter divides by a truncated reciprocal of the box area, which darkens every
        // channel by up to two levels and makes opaque images slightly transparent.
        AreaAverager averager(view.width, view.height, *out, transparent);
        for (int y = 0; y < view.height; ++y) {
            if (const auto ending = looks.before(static_cast<std::size_t>(view.width)))
                return *ending;
            averager.push(view.pixels + view.stride * static_cast<std::size_t>(y));
        }
        return std::move(*out);
    }
    if (watch) {
        if (const auto ending = watch->look())
            return *ending;
    }
    // libyuv's "ARGB" is B, G, R, A in memory; the filters treat the four channels alike, so RGBA works too.
    const int dstStride = static_cast<int>(out->stride());
    std::optional<Bitmap> premultiplied;
    const std::uint8_t* source = view.pixels;
    int sourceStride = static_cast<int>(view.stride);
    if (transparent) {
        premultiplied = Bitmap::create(view.width, view.height, view.format, UINT64_MAX);
        if (!premultiplied)
            return ImageError::tooLarge;
        libyuv::ARGBAttenuate(view.pixels, sourceStride, premultiplied->mutablePixels(),
                              static_cast<int>(premultiplied->stride()), view.width, view.height);
        source = premultiplied->pixels();
        sourceStride = static_cast<int>(premultiplied->stride());
    }
    if (libyuv::ARGBScale(source, sourceStride, view.width, view.height, out->mutablePixels(), dstStride,
                          width, height, libyuv::kFilterBilinear) != 0)
        return ImageError::invalidArgument;
    if (premultiplied) {
        std::uint8_t* pixels = out->mutablePixels();
        libyuv::ARGBUnattenuate(pixels, dstStride, pixels, dstStride, width, height);
    }
    return std::move(*out);
}

Size fitLongestSide(int width, int height, int longestSide, bool allowEnlarging) {
    if (width <= 0 || height <= 0 || longestSide <= 0)
        return {};
    const int longest = std::max(width, height);
    if (longest <= longestSide && !allowEnlarging)
        return {width, height};
    const double factor = static_cast<double>(longestSide) / longest;
    auto side = [&](int v) {
        if (v == longest)
            return longestSide;
        return std::max(1, static_cast<int>(std::lround(v * factor)));
    };
    return {side(width), side(height)};
}

}  // namespace platform::imaging
