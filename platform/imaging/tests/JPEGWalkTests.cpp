// The walk of a JPEG's segments, which the work count reads before anything is decoded, against the
// library's reading of the same bytes: files as encoders write them, and with every odd segment the
// library reads on over, are walked to their end where the library ends and decode; files the library fails
// on are refused before anything is decoded; and in files damaged at random, the library never begins a
// scan that the walk did not find where the library begins it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "platform/imaging/Codecs.h"
#include "platform/imaging/JPEGWalk.h"
#include "testing/OrdinaryJPEGs.h"

namespace platform::imaging {
namespace {

using Bytes = std::vector<std::uint8_t>;
using End = WalkedScans::End;

DecodeOptions options() {
    DecodeOptions options;
    options.maxPixels = 1 << 20;
    return options;
}

// Where the markers of a file as an encoder writes it are (no fill bytes, nothing between segments):
// segments are skipped by their lengths, and a scan's coded data up to its first FF that is neither a
// stuffed zero nor a restart.
std::vector<std::size_t> markerOffsets(const Bytes& jpeg) {
    std::vector<std::size_t> offsets{0};
    std::size_t at = 2;
    while (at + 1 < jpeg.size()) {
        offsets.push_back(at);
        const std::uint8_t code = jpeg[at + 1];
        if (code == 0xD9 || at + 3 >= jpeg.size())
            break;
        at += 2 + static_cast<std::size_t>(jpeg[at + 2] << 8 | jpeg[at + 3]);
        while (code == 0xDA && at + 1 < jpeg.size() &&
               (jpeg[at] != 0xFF || jpeg[at + 1] == 0 || (jpeg[at + 1] & 0xF8) == 0xD0))
            ++at;
    }
    return offsets;
}

// The first marker FF `code`.
std::size_t firstMarker(const Bytes& jpeg, std::uint8_t code) {
    const std::vector<std::size_t> markers = markerOffsets(jpeg);
    return *std::find_if(markers.begin(), markers.end(),
                         [&](std::size_t at) { return jpeg[at + 1] == code; });
}

// The marker right after the first scan's coded data.
std::size_t afterFirstScan(const Bytes& jpeg) {
    const std::vector<std::size_t> markers = markerOffsets(jpeg);
    return *std::upper_bound(markers.begin(), markers.end(), firstMarker(jpeg, 0xDA));
}

Bytes slice(const Bytes& jpeg, std::size_t from, std::size_t to) {
    return Bytes(jpeg.begin() + static_cast<std::ptrdiff_t>(from),
                 jpeg.begin() + static_cast<std::ptrdiff_t>(to));
}

Bytes inserted(Bytes jpeg, std::size_t at, const Bytes& bytes) {
    jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin(), bytes.end());
    return jpeg;
}

// `bytes` before every marker but the start of image.
Bytes beforeEveryMarker(const Bytes& jpeg, const Bytes& bytes) {
    Bytes out;
    std::size_t from = 0;
    for (const std::size_t at : markerOffsets(jpeg)) {
        if (at == 0)
            continue;
        out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(from),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(at));
        out.insert(out.end(), bytes.begin(), bytes.end());
        from = at;
    }
    out.insert(out.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(from), jpeg.end());
    return out;
}

// The first `pattern` after the first scan's header.
std::size_t inFirstScan(const Bytes& jpeg, const Bytes& pattern) {
    const auto found = std::search(jpeg.begin() + static_cast<std::ptrdiff_t>(firstMarker(jpeg, 0xDA)) + 2,
                                   jpeg.end(), pattern.begin(), pattern.end());
    return static_cast<std::size_t>(found - jpeg.begin());
}

// What the library read of `jpeg` is what the walk found: every scan where the walk found it, and its end.
void expectWalkedAsRead(const Bytes& jpeg) {
    const JPEGWalkCheck check = checkJPEGWalk(jpeg, options());
    EXPECT_EQ(check.walk.end, End::image);
    EXPECT_FALSE(check.libraryError);
    EXPECT_EQ(check.firstScanAstray, 0);
    EXPECT_EQ(check.libraryScans, check.walk.count);
    EXPECT_EQ(check.libraryEnd, check.walk.endOffset);
}

TEST(ImagingJPEGWalk, OrdinaryFilesAndTheSegmentsTheLibraryReadsOnOverAreWalkedAsReadAndDecode) {
    for (const auto& [name, file] : testing_support::ordinaryJPEGs()) {
        SCOPED_TRACE(name);
        const auto plain = decodeImage(file, options());
        ASSERT_TRUE(plain);
        const std::size_t stuffed = inFirstScan(file, {0xFF, 0x00});
        ASSERT_LT(stuffed, file.size());
        std::vector<std::pair<std::string, Bytes>> variants = {
            {"as written", file},
            {"fill bytes before every marker", beforeEveryMarker(file, {0xFF, 0xFF})},
            {"empty segments and parameterless markers before every marker",
             beforeEveryMarker(file, {0xFF, 0xFE, 0, 2, 0xFF, 0xEF, 0, 2, 0xFF, 0x01, 0xFF, 0xD5})},
            {"a comment and a line count after the first scan",
             inserted(file, afterFirstScan(file),
                      {0xFF, 0xFE, 0, 6, 'w', 'a', 'l', 'k', 0xFF, 0xDC, 0, 4, 0, 75})},
            {"bytes after the end of image", inserted(file, file.size(), {0, 0, 0xFF, 0xD8, 'p', 'a', 'd'})},
            {"a data byte FF with fill before its stuffed zero", inserted(file, stuffed, {0xFF})},
        };
        const std::size_t restart = inFirstScan(file, {0xFF, 0xD0});
        if (restart < afterFirstScan(file))
            variants.emplace_back("a restart marker with fill before it",
                                  inserted(file, restart, {0xFF, 0xFF}));
        for (const auto& [change, variant] : variants) {
            SCOPED_TRACE(change);
            expectWalkedAsRead(variant);
            const auto decoded = decodeImage(variant, options());
            ASSERT_TRUE(decoded) << describe(decoded.error());
            EXPECT_TRUE(decoded->samePixels(*plain));
        }
    }
}

TEST(ImagingJPEGWalk, AFileTheLibraryFailsOnIsRefusedBeforeDecoding) {
    const auto files = testing_support::ordinaryJPEGs();
    const Bytes& baseline = files[0].bytes;
    const Bytes& progressive = files[2].bytes;
    const std::size_t afterScan = afterFirstScan(progressive);
    const std::size_t sof = firstMarker(progressive, 0xC2);
    const Bytes frame = slice(progressive, sof, sof + 2 + (progressive[sof + 2] << 8 | progressive[sof + 3]));
    const std::pair<const char*, Bytes> broken[] = {
        {"a byte where a marker should be", inserted(progressive, sof, {0x00})},
        {"a stuffed zero where a marker should be", inserted(progressive, sof, {0xFF, 0x00})},
        {"a byte where a marker should be, between scans",
         inserted(progressive, afterScan, {0xFF, 0xFE, 0, 2, 0x00})},
        {"a second start of image", inserted(progressive, afterScan, {0xFF, 0xD8})},
        {"a second frame", inserted(progressive, afterScan, frame)},
        {"a frame of a process the library lacks", inserted(progressive, afterScan, {0xFF, 0xC3, 0, 2})},
        {"a reserved marker", inserted(progressive, afterScan, {0xFF, 0xF0, 0, 2})},
        {"a JFIF header of another major version",
         inserted(progressive, 2, {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 2, 1, 0, 0, 1, 0, 1, 0, 0})},
        {"a restart interval of five bytes", inserted(progressive, 2, {0xFF, 0xDD, 0, 5, 0, 1, 0})},
        {"a scan header one byte longer",
         inserted(progressive, afterScan, {0xFF, 0xDA, 0, 9, 1, 1, 0, 1, 5, 0, 0})},
        {"a scan of a component listed twice",
         inserted(progressive, afterScan, {0xFF, 0xDA, 0, 10, 2, 1, 0, 1, 0, 0, 0, 0})},
        {"a second scan in a file of one scan",
         inserted(baseline, baseline.size() - 2,
                  slice(baseline, firstMarker(baseline, 0xDA), baseline.size() - 2))},
        {"no end of image", slice(progressive, 0, progressive.size() - 2)},
        {"cut inside a scan", slice(progressive, 0, afterScan - 3)},
    };
    // Cut before its first segment, or inside its start of image.
    for (std::size_t size = 0; size <= 3; ++size)
        EXPECT_EQ(walkScans(slice(progressive, 0, size)).end, End::libraryFails);
    // The raised flag ends any decode the walk lets through, as `stopped`.
    const std::atomic<bool> raised{true};
    DecodeOptions stopped = options();
    stopped.stop = &raised;
    for (const auto& [change, file] : broken) {
        SCOPED_TRACE(change);
        EXPECT_EQ(decodeImage(file, stopped).error(), ImageError::corrupt);
        // The library fails on it too.
        const JPEGWalkCheck check = checkJPEGWalk(file, options());
        EXPECT_EQ(check.walk.end, End::libraryFails);
        EXPECT_TRUE(check.libraryError);
    }
    // A segment whose length claims less than its own two bytes: the library reads on after them, but
    // nothing writes such a segment, and the walk refuses it.
    for (const std::uint8_t length : {0, 1}) {
        const Bytes comment = inserted(progressive, 2, {0xFF, 0xFE, 0, length});
        EXPECT_EQ(decodeImage(comment, stopped).error(), ImageError::corrupt);
        const JPEGWalkCheck check = checkJPEGWalk(comment, options());
        EXPECT_EQ(check.walk.end, End::shortLength);
        EXPECT_FALSE(check.libraryError);
    }
}

// Damage of the kinds that move segments about, each chosen by a generator with a fixed seed so that every
// run makes the same files.
class Damage {
  public:
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }

    // `jpeg` damaged once; `what` says how.
    Bytes apply(Bytes jpeg, std::string* what) {
        const std::size_t at = below(jpeg.size());
        const auto where = jpeg.begin() + static_cast<std::ptrdiff_t>(at);
        const std::vector<std::size_t> markers = markerOffsets(jpeg);
        const std::size_t marker = markers[below(markers.size())];
        const auto after = std::upper_bound(markers.begin(), markers.end(), marker);
        const std::size_t nextMarker = after == markers.end() ? jpeg.size() : *after;
        const auto byte = static_cast<std::uint8_t>(next());
        *what +=
            " @" + std::to_string(at) + " m" + std::to_string(marker) + " v" + std::to_string(byte) + ":";
        switch (below(10)) {
            case 0:
                *what += "set";
                *where = byte;
                break;
            case 1:
                *what += "FF";
                *where = 0xFF;
                break;
            case 2:
                *what += "marker";
                jpeg.insert(where, {0xFF, byte});
                break;
            case 3:
                // A segment's length, a little off or small.
                *what += "length";
                if (marker + 3 < jpeg.size()) {
                    const std::size_t length =
                        static_cast<std::size_t>(jpeg[marker + 2] << 8 | jpeg[marker + 3]);
                    const std::size_t lengths[] = {
                        0, 1, 2, 3, length - 1, length + 1, length + 2 + below(64)};
                    const std::size_t changed = lengths[below(std::size(lengths))] & 0xFFFF;
                    jpeg[marker + 2] = static_cast<std::uint8_t>(changed >> 8);
                    jpeg[marker + 3] = static_cast<std::uint8_t>(changed);
                }
                break;
            case 4:
                *what += "cut";
                jpeg.resize(at);
                break;
            case 5:
                *what += "delete";
                jpeg.erase(where,
                           where + static_cast<std::ptrdiff_t>(std::min(1 + below(16), jpeg.size() - at)));
                break;
            case 6: {
                // A whole segment (a scan with its coded data) again somewhere else.
                *what += "segment again";
                const Bytes segment = slice(jpeg, marker, nextMarker);
                jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(markers[below(markers.size())]),
                            segment.begin(), segment.end());
                break;
            }
            case 7: {
                // Before a marker, what the library reads on over, refuses, or stops at.
                static const Bytes odd[] = {{0xFF, 0xFE, 0, 0},
                                            {0xFF, 0xE1, 0, 1},
                                            {0xFF, 0xFE, 0, 2},
                                            {0xFF, 0xDC, 0, 4, 0, 9},
                                            {0xFF, 0xFF},
                                            {0xFF, 0x01},
                                            {0xFF, 0xD3},
                                            {0xFF, 0x00},
                                            {0x00},
                                            {0xFF, 0xD9}};
                const std::size_t index = below(std::size(odd));
                const Bytes& chosen = odd[index];
                *what += "odd " + std::to_string(index);
                jpeg.insert(jpeg.begin() + static_cast<std::ptrdiff_t>(marker), chosen.begin(), chosen.end());
                break;
            }
            case 8: {
                // Fill before an FF: of a marker, a restart, a stuffed zero.
                *what += "fill";
                const auto ff = std::find(where, jpeg.end(), 0xFF);
                if (ff != jpeg.end())
                    jpeg.insert(ff, 0xFF);
                break;
            }
            default:
                *what += "byte";
                jpeg.insert(where, byte);
                break;
        }
        return jpeg;
    }

  private:
    std::uint64_t state_ = 0x9E3779B97F4A7C15;
};

// Whatever the damage, the library begins no scan that the walk of the segments did not find where the
// library begins it (the count would learn of it only then), and reads to its end only a file the walk
// followed to the same end. A file the walk refuses because the library fails on it, it fails on.
TEST(ImagingJPEGWalk, InDamagedFilesTheLibraryBeginsNoScanTheWalkDidNotFind) {
    Damage damage;
    int decoded = 0;
    int refused = 0;
    int failures = 0;
    for (const auto& [name, file] : testing_support::ordinaryJPEGs()) {
        for (int i = 0; i < 300 && failures < 5; ++i) {
            std::string what = name;
            Bytes damaged = damage.apply(file, &what);
            if (i % 3 == 0)
                damaged = damage.apply(damaged, &what);
            const JPEGWalkCheck check = checkJPEGWalk(damaged, options());
            const bool followed = check.walk.end == End::image;
            bool agreed = !followed || check.firstScanAstray == 0;
            if (!check.libraryError && check.walk.end != End::shortLength)
                agreed = agreed && followed && check.libraryScans == check.walk.count &&
                         check.libraryEnd == check.walk.endOffset;
            if (check.walk.end == End::libraryFails && check.libraryRead)
                agreed = agreed && check.libraryError;
            if (!agreed) {
                ++failures;
                ADD_FAILURE() << what << ": walk end " << static_cast<int>(check.walk.end) << ", "
                              << check.walk.count << " scans walked; the library began " << check.libraryScans
                              << ", the first astray " << check.firstScanAstray << ", "
                              << (check.libraryError ? describe(*check.libraryError) : "decoded");
            }
            decoded += !check.libraryError;
            refused += !followed;
        }
    }
    // Both sides seen often.
    EXPECT_GT(decoded, 300);
    EXPECT_GT(refused, 300);
}

}  // namespace
}  // namespace platform::imaging
