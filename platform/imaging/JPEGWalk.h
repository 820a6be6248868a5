#pragma once
// The walk of a JPEG's segments that the work count of a decode reads before anything is decoded (see
// DecodeOptions::workBudget): the frame's header, each scan's header and the bytes of each scan's coded
// data. The library (libjpeg-turbo, under the decode's error manager, which fails on every warning) reads
// the file marker by marker; the walk reads it the same way, byte for byte, so that the scans it finds are
// the scans the library decodes. Where the library would fail, or where a segment is one the walk refuses
// to follow (a length under its own two bytes), the walk ends there and the decode refuses the file as
// corrupt before decoding anything.
// Internal to the imaging module; its tests and fuzzers compare the walk with the library's reading
// (checkJPEGWalk).
// Thread: any; calls share no state.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/imaging/Codecs.h"

namespace platform::imaging {

struct WalkedScans {
    enum class End {
        // At the end-of-image marker, where the library stops reading.
        image,
        // Where the library fails: an error, a warning (bytes where a marker should be, a marker the
        // library does not know, a second frame, ...), or the data ending before the end of image.
        libraryFails,
        // At a segment whose length claims less than its own two bytes: the library reads on right after
        // them, but no writer makes such a segment, and the walk refuses it rather than follow it.
        shortLength,
    };
    End end = End::libraryFails;
    std::size_t endOffset = 0;  // past the end-of-image marker, when the walk got there

    // Of the scans found before the walk ended.
    int count = 0;
    std::uint64_t codedBytes = 0;  // of their coded data, restart markers included
    // The 8x8 blocks each scan covers, summed over the scans, as the library counts them for a scan: a
    // single component's blocks, or whole units of every component's blocks in an interleaved scan.
    std::uint64_t scanBlocks = 0;
    // In the refinement scans of AC bands, each block's band up to its end, summed over the blocks.
    std::uint64_t refinedCoefficients = 0;
    // The blocks of every component of the frame, as the output counts them.
    std::uint64_t frameBlocks = 0;
};

// `scanStarts`, when given, receives where the coded data of each scan found starts.
WalkedScans walkScans(std::span<const std::uint8_t> data, std::vector<std::size_t>* scanStarts = nullptr);

// For tests and fuzzers: the walk of `data` against the library's reading of it in a decode with `options`
// at full size, which goes ahead even where the walk ends without reaching the end of image (the work of
// scans beyond it is then counted as the library comes to them).
struct JPEGWalkCheck {
    WalkedScans walk;
    std::vector<std::size_t> walkedStarts;  // where each scan the walk found starts its coded data
    // Whether the library read anything: the header read and the size within the limits.
    bool libraryRead = false;
    int libraryScans = 0;  // the scans the library began to decode
    // The first of them (counted from 1) that the walk did not find where the library began it; 0: none.
    int firstScanAstray = 0;
    std::size_t libraryEnd = 0;              // where the library stopped reading, when it decoded the file
    std::optional<ImageError> libraryError;  // none: the library decoded the file
};
JPEGWalkCheck checkJPEGWalk(std::span<const std::uint8_t> data, const DecodeOptions& options);

}  // namespace platform::imaging
