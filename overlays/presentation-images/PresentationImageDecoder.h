#pragma once
// Turns the encoded picture a phone sent (JPEG or PNG) into a bounded bitmap. The size is read from the
// header first: empty, unreadable or over-large pictures are refused before any pixel buffer exists.
// Reentrant; run off the main thread.
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "overlays/presentation-images/PresentationImagePicture.h"

namespace PresentationImages {

struct PresentationImageDecoder {
    static constexpr int maxPixelSize = 4096;
    static constexpr std::int64_t maxPixelCount = 100000000;
    // The working memory a decode may hold besides its result. A progressive JPEG holds the coefficients
    // of the whole picture at full size, whatever size it decodes to: 128 bytes per 8x8 block of each
    // component, so 3 bytes a pixel in 4:2:0 and 6 in 4:4:4. The cameras' and the web's sizes fit: 24 MP
    // in 4:2:0 and 12 MP in 4:4:4 need 72 MB, 6000x4500 in 4:2:0 81 MB, 16 MP in 4:4:4 96 MB; with the
    // 4096-pixel result (48 MiB) the decode stays well below 200 MB. One such decode runs at a time.
    static constexpr std::size_t workingMemory = 96 * 1024 * 1024;
    // A PNG's: an interlaced one larger than the result is held whole to be shrunk, 4 bytes a pixel, and
    // holds the process's turn of large decodes for as long as it decodes, which within the work budget
    // takes twice as long as a JPEG of the same memory. 16 MP decode in about 0.7 s in 8 bits, a second
    // in 16, so that another phone's large picture, or the artwork, seldom waits a second for it; a file
    // whose compressed data costs more than its rows holds the turn no longer than a PNG's two seconds.
    static constexpr std::size_t pngWorkingMemory = 64 * 1024 * 1024;

    // The picture with its orientation applied, its longer side at most `maxPixelSize` (never
    // enlarged); none for empty, unknown, truncated or corrupt data, for an arithmetic-coded JPEG (refused
    // from its header, as readImageInfo refuses it), for more than maxPixelCount
    // source pixels, for more working memory or decoding work than allowed, and once `stop` (when
    // given) is raised. `refusal`, when given, receives a line that tells why a picture was not
    // decoded; it stays empty for a stopped decode, which says nothing about the picture.
    static std::optional<PresentationImagePicture> decode(std::span<const std::uint8_t> data,
                                                          int maxPixelSize, std::string* refusal = nullptr,
                                                          const std::atomic<bool>* stop = nullptr);
};

}  // namespace PresentationImages
