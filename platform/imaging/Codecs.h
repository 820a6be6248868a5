#pragma once
// JPEG and PNG, read and written. Every decoder checks the image's claimed size against the caller's pixel
// limit before it allocates pixels, and answers broken, truncated or unknown data, and arithmetic-coded
// JPEGs, with an ImageError.
// Beyond the result itself, a decode holds at most a fixed working budget: rows are streamed through the
// scaler, and a file that cannot be decoded that way within the budget (a progressive JPEG whose
// coefficients exceed it, an interlaced PNG that must be held whole before it is shrunk, EXIF data
// larger than what is left) is refused as tooLarge. Nothing else a file carries besides its pixels is
// kept: text, colour profiles and other metadata are skipped unread.
// The time a decode takes is bounded too, by a budget on its work (see DecodeOptions::workBudget), with
// its own CPU time as a backstop (DecodeOptions::cpuTimeLimit), and a decode can be stopped from another
// thread.
// Thread: any; calls share no state but the decode turn.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/imaging/Bitmap.h"

namespace platform::imaging {

enum class ImageFormat { jpeg, png };

// By the signature at the start of the data.
std::optional<ImageFormat> detectFormat(std::span<const std::uint8_t> data);

struct ImageInfo {
    ImageFormat format = ImageFormat::jpeg;
    int width = 0;  // as stored, before the orientation is applied
    int height = 0;
    Orientation orientation = Orientation::up;
    // What a decode must hold besides its result whatever size it decodes to: the coefficients of every
    // block of a JPEG with several scans (progressive), 128 bytes per 8x8 block of each component. 0 for a
    // file that streams (baseline JPEG; PNG, whose interlaced form is held whole only when shrunk).
    std::uint64_t workingBytes = 0;

    Size uprightSize() const { return swapsSides(orientation) ? Size{height, width} : Size{width, height}; }
};

// Reads only the header (and the EXIF orientation); allocates nothing in proportion to the claimed size.
// An arithmetic-coded JPEG, which is never decoded, is refused here already as unsupported. The segments
// or chunks before the pixels may be millions: `stop`, when given and raised, ends the reading with
// `stopped` as it ends a decode (see DecodeOptions::stop).
ImageResult<ImageInfo> readImageInfo(std::span<const std::uint8_t> data,
                                     const std::atomic<bool>* stop = nullptr);
ImageResult<ImageInfo> readJPEGInfo(std::span<const std::uint8_t> data,
                                    const std::atomic<bool>* stop = nullptr);
ImageResult<ImageInfo> readPNGInfo(std::span<const std::uint8_t> data,
                                   const std::atomic<bool>* stop = nullptr);

// The working memory one decode may use besides its result.
inline constexpr std::size_t defaultDecodeBudget = 64 * 1024 * 1024;

// The work one decode may do (see DecodeOptions::workBudget): enough for the largest images the callers
// take (a 100-megapixel JPEG or 1-bit grey PNG shrunk to 4096 pixels, a progressive JPEG of 96 MiB of
// coefficients, a 33-megapixel PNG screenshot, PNG artwork of 16 MiB), and at most about a second of one
// core for any JPEG, two seconds for any PNG, whatever its coded bytes hold. Machines differ: the same PNG
// decodes took 1.7 times as long on the slowest machine seen as on the one its costs were measured on, and
// the costliest PNG the budget takes needed up to 1.8 s there.
inline constexpr std::uint64_t defaultWorkBudget = 1'700'000'000;

// The CPU time past which a decode is stopped whatever its count said (see DecodeOptions::cpuTimeLimit):
// the figures above and a fifth; ten times that in the address sanitizer's builds, whose code runs
// several times slower, and fifty in the thread sanitizer's, unoptimised, where the 100-megapixel PNG
// picture of a test takes some eighteen seconds.
#if defined(LUMIVEX_THREAD_SANITIZER)
inline constexpr int cpuTimeLimitScale = 50;
#elif defined(LUMIVEX_ADDRESS_SANITIZER)
inline constexpr int cpuTimeLimitScale = 10;
#else
inline constexpr int cpuTimeLimitScale = 1;
#endif
inline constexpr std::chrono::nanoseconds jpegCPUTimeLimit =
    std::chrono::milliseconds(1200) * cpuTimeLimitScale;
inline constexpr std::chrono::nanoseconds pngCPUTimeLimit =
    std::chrono::milliseconds(2400) * cpuTimeLimitScale;

// Decodes whose working memory exceeds this take turns, one at a time in the process, so that large
// pictures arriving together (from several phones or features) cannot add up.
inline constexpr std::size_t largeDecodeBytes = 16 * 1024 * 1024;
// Waits for the turn of a decode needing `workingBytes` and holds it until the lock goes; a smaller
// decode gets an empty lock at once. Turns are given in the order they are asked for. None when `stop`
// (when given) is raised, before or while it waits: a waiting decode sees it within a few milliseconds.
std::optional<std::unique_lock<std::mutex>> takeDecodeTurn(std::uint64_t workingBytes,
                                                           const std::atomic<bool>* stop = nullptr);

struct DecodeOptions {
    // Images claiming more pixels (as stored) are refused with tooLarge before any pixel is decoded.
    std::uint64_t maxPixels = 0;
    // When positive, the result's longest side is at most this (never enlarged). A JPEG is decoded with
    // the library's scaled decode at the smallest scale that still covers it, then box-filtered down.
    int longestSide = 0;
    PixelFormat format = PixelFormat::bgra;
    // Turns the image upright by its EXIF orientation.
    bool applyOrientation = true;
    // Working memory besides the result (see above).
    std::size_t memoryBudget = defaultDecodeBudget;
    // The work a decode may do; past it the image is refused with tooMuchWork. Work is counted from what
    // the header and the scans say before anything is decoded, so the same file and options are always
    // accepted or refused alike, but for a PNG's compressed bytes, whose cost is measured as they inflate
    // (see cpuTimeLimit). A JPEG pays for every 8x8 block each of its scans covers (a refinement scan
    // more, the further its band reaches), for turning every block back into samples and for every pixel
    // it outputs, and for every byte of its scans' coded data at what a byte can cost at its worst: the
    // codes beyond the first of a block (Huffman codes spend at least a bit on each value, and the first
    // code of each block is paid for with the block). A PNG pays for every row and every byte of its rows
    // as stored, for every pixel and each conversion it goes through (samples unpacked or scaled, a
    // palette, tRNS turned into alpha) and, when shrunk, for every pixel and every column of the result
    // its rows add into; and for each byte of IDAT at the least a byte costs. The IDAT's length, and the
    // scans' headers and lengths, are found by walking the file's segments, before anything is inflated or
    // decoded. Each step counts what it costs at its slowest: 17 units for every 15 ns of one core in a
    // PNG, 17 for every 10 ns in a JPEG, whose largest ordinary files need less time than a PNG's, and each
    // a fifth above what it measured (see defaultWorkBudget). Arithmetic-coded files, whose decisions cost
    // almost no bits once learnt, are refused from their header (unsupported). A file is refused before
    // any row is inflated or any scan decoded. A JPEG's walk reads its segments as the library does; one it
    // cannot follow so to the end of image is refused as corrupt before decoding.
    std::uint64_t workBudget = defaultWorkBudget;
    // A backstop for a gap in the count: a decode whose thread has spent more CPU time than this on it is
    // stopped with tooMuchWork, as one the count refuses. Zero: the format's figure and a fifth
    // (jpegCPUTimeLimit, pngCPUTimeLimit). Looked at with the stop flag. A PNG is held to the figure
    // itself (this less its sixth) as soon as its rows are read: it is stopped alike once the CPU time it
    // has spent, the counted work of its rows and steps still to come, and its compressed bytes still to
    // come at the pace of those inflated so far, pass the figure. Deflate blocks that decode to nothing
    // (some 100 ns a byte) so end a decode as soon as their pace shows it would pass the figure, wherever
    // they lie in the stream, while an ordinary file's bytes cost a few nanoseconds each.
    std::chrono::nanoseconds cpuTimeLimit{0};
    // When given and raised (from any thread), the decode stops within a few milliseconds with `stopped`,
    // also while it waits for its turn: it is looked at before each row and each slice of input the
    // decoder takes (at most 8 KiB of a PNG's, 64 KiB of a JPEG's; of a header, past its first 64 KiB,
    // which are read in well under a millisecond, so that a file the count refuses is refused as such
    // whatever is raised), and every few rows of what follows the rows (an image held whole shrunk, the
    // result turned upright). It must outlive the call.
    const std::atomic<bool>* stop = nullptr;
};

ImageResult<Bitmap> decodeImage(std::span<const std::uint8_t> data, const DecodeOptions& options);
ImageResult<Bitmap> decodeJPEG(std::span<const std::uint8_t> data, const DecodeOptions& options);
ImageResult<Bitmap> decodePNG(std::span<const std::uint8_t> data, const DecodeOptions& options);

// Baseline JPEG with 4:2:0 chroma; quality is clamped to 1...100. Alpha is ignored.
ImageResult<std::vector<std::uint8_t>> encodeJPEG(const ImageView& image, int quality);
// The same JPEG, written straight into its result, which never holds more than `maxBytes`: none when the
// JPEG would be larger, and the encoding then stops as soon as it passes the limit.
ImageResult<std::optional<std::vector<std::uint8_t>>> encodeJPEGWithin(const ImageView& image, int quality,
                                                                       std::size_t maxBytes);
// Compression level 0 (none) ... 9 (smallest), clamped. An image whose alpha is opaque everywhere (and any
// bgrx image) is written without an alpha channel, which makes it smaller.
ImageResult<std::vector<std::uint8_t>> encodePNG(const ImageView& image, int compressionLevel);

}  // namespace platform::imaging
