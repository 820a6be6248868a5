#pragma once
// In-memory images: 8-bit, 4 bytes a pixel, straight (not premultiplied) alpha. A Bitmap's pixels are
// shared between copies and copied on the first write through a shared one, so passing decoded images
// between queues costs no copy.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

namespace platform::imaging {

// Byte order in memory. bgrx is bgra whose fourth byte means nothing (an X11 screen image).
enum class PixelFormat { bgra, bgrx, rgba };

enum class ImageError {
    unknownFormat,  // neither JPEG nor PNG
    corrupt,        // broken or truncated data
    tooLarge,       // more pixels than the caller allows, or memory for them could not be had
    tooMuchWork,    // decoding it would take more work than the caller allows
    unsupported,    // coded in a way that is never decoded: an arithmetic-coded JPEG
    stopped,        // the caller asked the decode to stop before it was done
    invalidArgument,
};
std::string_view describe(ImageError error);

// A value or the reason there is none.
template <class T>
class ImageResult {
  public:
    ImageResult(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
    ImageResult(ImageError error) : storage_(std::in_place_index<1>, error) {}

    bool ok() const { return storage_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // Precondition: ok().
    T& value() { return std::get<0>(storage_); }
    const T& value() const { return std::get<0>(storage_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    // Precondition: !ok().
    ImageError error() const { return std::get<1>(storage_); }

  private:
    std::variant<T, ImageError> storage_;
};

// Pixels owned by someone else (a Bitmap, a shared-memory screen image). Rows are `stride` bytes apart.
struct ImageView {
    const std::uint8_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    PixelFormat format = PixelFormat::bgra;

    // Positive sides, a stride of at least 4 * width, and pixels present.
    bool valid() const;
};

class Bitmap {
  public:
    // No side may be longer than this, whatever the pixel limit.
    static constexpr int maxSide = 1 << 20;

    Bitmap() = default;

    // An uninitialised bitmap; none when a side is not positive or too long, when width * height exceeds
    // `maxPixels`, or when the memory cannot be had.
    static std::optional<Bitmap> create(int width, int height, PixelFormat format, std::uint64_t maxPixels);
    // A copy of the view's pixels (tightly packed).
    static std::optional<Bitmap> copy(const ImageView& view);

    bool empty() const { return !pixels_; }
    int width() const { return width_; }
    int height() const { return height_; }
    std::size_t stride() const { return stride_; }
    PixelFormat format() const { return format_; }
    const std::uint8_t* pixels() const { return pixels_.get(); }
    // Copies the pixels first when another Bitmap shares them.
    std::uint8_t* mutablePixels();
    ImageView view() const { return {pixels_.get(), width_, height_, stride_, format_}; }
    std::span<const std::uint8_t> bytes() const {
        return {pixels_.get(), stride_ * static_cast<std::size_t>(height_)};
    }

    // Same size, format and pixels (the bytes of a bgrx image's fourth channel count too).
    bool samePixels(const Bitmap& other) const;

  private:
    std::shared_ptr<std::uint8_t[]> pixels_;
    int width_ = 0;
    int height_ = 0;
    std::size_t stride_ = 0;
    PixelFormat format_ = PixelFormat::bgra;
};

// How stored pixels must be turned to be seen upright, as the EXIF orientation tag numbers them.
enum class Orientation : std::uint8_t {
    up = 1,             // as stored
    upMirrored = 2,     // mirrored left to right
    down = 3,           // turned 180°
    downMirrored = 4,   // mirrored top to bottom
    leftMirrored = 5,   // mirrored along the main diagonal (transposed)
    right = 6,          // turned 90° clockwise to be seen
    rightMirrored = 7,  // mirrored along the other diagonal
    left = 8,           // turned 90° counter-clockwise to be seen
};
// Whether applying the orientation swaps width and height.
bool swapsSides(Orientation orientation);

// What the steps over a whole image below look at as they go, when one is given: a decode hands them its
// own watch, so that its stop flag and its CPU-time backstop end them as they end its rows. A step looks
// before its first pixel and then every 64 Ki pixels it has done (well under a millisecond of its work,
// however narrow or wide the rows), and ends at the first look that gives an error.
class StepWatch {
  public:
    // None to go on; else the error the step ends with (stopped, tooMuchWork).
    virtual std::optional<ImageError> look() = 0;

  protected:
    ~StepWatch() = default;
};

// The upright image.
ImageResult<Bitmap> applyOrientation(const ImageView& view, Orientation orientation,
                                     StepWatch* watch = nullptr);

enum class ScaleFilter { box, bilinear };

// Resamples to exactly width x height. Alpha is premultiplied around the resampling so that transparent
// pixels do not bleed their colour into the edges. Box filtering averages every source pixel (the
// high-quality choice for downscaling). The watch is looked at through the look for transparency and the
// box filter's rows; the bilinear filter, one call into libyuv, is looked at only before it begins.
ImageResult<Bitmap> scale(const ImageView& view, int width, int height, ScaleFilter filter = ScaleFilter::box,
                          StepWatch* watch = nullptr);

struct Size {
    int width = 0;
    int height = 0;
    bool operator==(const Size&) const = default;
};
// The size of width x height scaled so its longest side is `longestSide`, keeping the aspect ratio
// (rounded, at least 1 pixel a side); never larger than the input when `allowEnlarging` is false.
Size fitLongestSide(int width, int height, int longestSide, bool allowEnlarging = false);

}  // namespace platform::imaging
