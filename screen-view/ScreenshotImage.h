#pragma once
// Screenshots as JPEG within a byte budget: fitted to the requested longest side, then a short ladder of
// qualities, then up to three halvings of the size.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "protocol/messages/Types.h"
#include "screen-view/PixelBuffers.h"

namespace ScreenView::ScreenshotImage {

using TrackpadProtocol::Data;

// The largest JPEG a screenshot may carry: the 15 MiB large-payload limit less the 5-byte header of the
// screenshot document.
inline constexpr std::size_t maxByteCount = 15728635;

// One encoding of an image at a quality from 0.1 to 1.0 within a byte budget: the JPEG when it fits;
// `overBudget` when it does not (the encoder may then stop as soon as it knows, and give no JPEG);
// neither when the encoder fails. A JPEG over the budget counts as over it.
struct JpegEncoding {
    std::optional<Data> jpeg;
    bool overBudget = false;
};
using JpegEncoder =
    std::function<JpegEncoding(const BgraImage& image, double quality, std::size_t maxByteCount)>;

// The JPEG of `image` fitted to maxPixelLength within maxByteCount bytes, or none when no size and quality
// tried fits (at most six encodings). `encode` defaults to encodeJpegWithin.
std::optional<Data> jpeg(const BgraImage& image, int maxPixelLength, std::size_t maxByteCount, double quality,
                         const JpegEncoder& encode = {});
// The image redrawn at the given size with area averaging; null for a size out of range.
std::shared_ptr<BgraImage> resize(const BgraImage& image, int pixelWidth, int pixelHeight);
// Baseline JPEG, 4:2:0, quality mapped to 1...100.
std::optional<Data> encodeJpeg(const BgraImage& image, double quality);
// The same JPEG, written straight into its result and given up as soon as it passes maxByteCount; the
// default encoder of jpeg().
JpegEncoding encodeJpegWithin(const BgraImage& image, double quality, std::size_t maxByteCount);

// Screenshots whose pixels take at least this many bytes (a 5K display's, not a 4K one's) are taken one
// at a time: one in the process (the capture source's turn), and per session only once its earlier
// screenshots are answered.
inline constexpr std::size_t largeImageBytes = std::size_t{32} << 20;
inline bool isLargeImage(int pixelWidth, int pixelHeight) {
    return static_cast<std::size_t>(pixelWidth) * static_cast<std::size_t>(pixelHeight) * 4 >=
           largeImageBytes;
}

// The largest side an image may have here; a larger display is read and shrunk band by band.
inline constexpr int maxImageSide = 16384;

// Shrinks (or enlarges) an image that is never held whole, such as a monitor wider or taller than
// maxImageSide, as its rows arrive from top to bottom: each output pixel is the exact area average of the
// input it covers, as resize gives, so the memory needed is one band of input and the output.
//
// Thread: one at a time.
class BandScaler {
  public:
    // Null when a size is below 1, the input above 32767 or the output above maxImageSide per side.
    static std::unique_ptr<BandScaler> make(int sourceWidth, int sourceHeight, int width, int height);

    // The next `rows` rows of BGRX input (sourceWidth pixels each, `stride` bytes apart); rows past the
    // input's height are ignored.
    void addRows(const std::uint8_t* pixels, std::size_t stride, int rows);
    // The output once every input row was added, else null.
    std::shared_ptr<BgraImage> finish();

  private:
    BandScaler(int sourceWidth, int sourceHeight, int width, int height);
    void addRow(const std::uint8_t* row);

    std::int64_t sourceWidth_, sourceHeight_, width_, height_;
    std::int64_t nextRow_ = 0;
    std::vector<double> horizontal_;                  // one input row, shrunk in width: 3 sums per column
    std::map<std::int64_t, std::vector<double>> open_;  // output rows still receiving input
    std::shared_ptr<BgraImage> output_;
};

}  // namespace ScreenView::ScreenshotImage
