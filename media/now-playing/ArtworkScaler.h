#pragma once
// Artwork bytes of any supported format (JPEG, PNG) to a small JPEG within a byte budget: decoded at
// about the target size with its orientation applied, put over opaque black, shrunk by an area filter
// and encoded at falling qualities, then at falling sizes, until it fits. A decode that would take more
// work than allowed, and an arithmetic-coded JPEG, are refused, with a line in the log.
//
// Thread: any; a scaler holds no state but the budget of its log lines.
#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "platform/imaging/Bitmap.h"
#include "protocol/messages/Types.h"

namespace media {

using TrackpadProtocol::Data;

class ArtworkScaler {
  public:
    static constexpr int minimumPixelSize = 32;
    static constexpr long maximumByteCount = 61440;
    // Artwork bigger than this, in bytes or in pixels, is not decoded at all. It is shown at a few hundred
    // pixels, so a source of 4096 x 4096 is already far more than it needs.
    static constexpr std::size_t maximumSourceBytes = 16 * 1024 * 1024;
    static constexpr std::uint64_t maximumSourcePixels = 4096ull * 4096;
    static constexpr double qualities[] = {0.8, 0.6, 0.4};

    // An opaque image (its bitmap may be empty in tests that only look at sizes).
    struct Image {
        int width = 0;
        int height = 0;
        platform::imaging::Bitmap bitmap;
    };
    // The image operations the scaler is built on; replaceable for tests.
    struct Imaging {
        // Decodes artwork into an image over opaque black with its orientation applied, shrunk (never
        // enlarged) so that its longer edge is at most `maxPixelSize`; none when it cannot, and soon
        // once `stop` (when given) is raised.
        std::function<std::optional<Image>(const Data& data, int maxPixelSize, const std::atomic<bool>* stop)>
            thumbnail;
        // The image at exactly `width` by `height`, by an area filter.
        std::function<std::optional<Image>(const Image& image, int width, int height)> resize;
        // JPEG at a quality of 0...1; none on failure.
        std::function<std::optional<Data>(const Image& image, double quality)> encode;
    };
    // Over the shared imaging of platform/.
    static Imaging systemImaging();

    // The pixel size is raised to at least 32, the byte count clamped to 0...61440.
    ArtworkScaler(int maxPixelSize, long maxByteCount);
    ArtworkScaler(int maxPixelSize, long maxByteCount, Imaging imaging);

    int maxPixelSize() const { return maxPixelSize_; }
    long maxByteCount() const { return maxByteCount_; }

    // JPEG bytes of at most maxByteCount, or none (empty, undecodable or unfittable artwork, or a decode
    // or its sizes and qualities stopped by `stop`).
    std::optional<Data> scale(const Data& data, const std::atomic<bool>* stop = nullptr) const;

    // The target size of an image of `width` by `height` drawn at `side` for its longer edge: each
    // edge rounded, halves away from zero, and at least 1.
    static std::pair<int, int> renderSize(int width, int height, int side);
    // The sides tried from a first side: each next one is 2/3 of the last while the last is above 47.
    static std::vector<int> sideLadder(int firstSide);

  private:
    int maxPixelSize_;
    long maxByteCount_;
    Imaging imaging_;
};

}  // namespace media
