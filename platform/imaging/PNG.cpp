// libpng reports errors by longjmp. Every setjmp sits in a small inner function whose frame holds only
// plain C data, so that no C++ object with a destructor is ever jumped over; the C++ outer functions own
// the memory and clean up after the inner one returns.
#include <png.h>

#include <algorithm>
#include <atomic>
#include <csetjmp>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/imaging/AreaAverage.h"
#include "platform/imaging/Codecs.h"
#include "platform/imaging/DecodeSteps.h"
#include "platform/imaging/DecodeWatch.h"
#include "platform/imaging/Exif.h"

namespace platform::imaging {
namespace {

// Bounds on the ancillary chunks libpng reads, whatever the file claims: a longer one makes the file
// unreadable. Of them only eXIf is kept (see openRead).
constexpr png_alloc_size_t maxChunkBytes = 8 * 1024 * 1024;
constexpr png_uint_32 maxCachedChunks = 128;

// The work of a decode (see DecodeOptions::workBudget) but for its compressed bytes, all known from the
// header before any row is inflated. Each step is counted at what it costs where it is slowest, in tenths of
// a nanosecond of one core as bench/png_work measures them: every row Paeth-filtered over random-looking
// bytes (which the deflate stream codes as copies of the row before), shrunk near a ratio of one. 17 units
// are counted for every 15 ns, and each step a fifth above what it was measured at, for machines slower
// than the one it was measured on: a decode within the budget (defaultWorkBudget) takes at most about 1.5 s
// there, and 2 s on the slowest machine seen.
constexpr std::uint64_t unitsPerFifteenNanoseconds = 17;
constexpr std::uint64_t tenthsPerNanosecond = 10;
constexpr std::uint64_t countedFifths = 6;  // of what each step costs
// The library's call for every row of every pass, and what is done with the row.
constexpr std::uint64_t rowWork = 600;
// Inflating and unfiltering each stored byte. The Paeth filter is undone a byte after the other in
// pixels of one or two bytes, several bytes at a time in wider ones.
constexpr std::uint64_t narrowByteWork = 61;
constexpr std::uint64_t wideByteWork = 46;
// Each pixel turned into four 8-bit channels and stored, and each expansion libpng makes on the way:
// samples of fewer than 8 bits unpacked, palette indices looked up, the tRNS colour turned into alpha,
// and each 16-bit sample scaled.
constexpr std::uint64_t pixelWork = 25;
constexpr std::uint64_t unpackWork = 15;
constexpr std::uint64_t paletteWork = 10;
constexpr std::uint64_t transparencyWork = 15;
constexpr std::uint64_t sixteenBitSampleWork = 10;
// An interlaced image's passes each combined into whole rows.
constexpr std::uint64_t interlacedPixelWork = 50;
// Shrinking by area averaging, streamed or from the image held whole: every source pixel, and for each
// source row every column of the result (near a ratio of one, a source pixel adds into four result
// pixels, far from it into one). Colours weighted by their alpha cost more.
constexpr std::uint64_t averagedPixelWork = 18;
constexpr std::uint64_t averagedColumnWork = 80;
constexpr std::uint64_t weightedAveragedPixelWork = 29;
constexpr std::uint64_t weightedAveragedColumnWork = 95;
// An image held whole is looked over for transparency before it is shrunk.
constexpr std::uint64_t heldPixelWork = 10;
// Each byte of IDAT at the least it costs: read, checked and inflated as the cheapest deflate blocks,
// stored ones, are. What the bytes really cost (up to some 100 ns a byte, for blocks with codes of their
// own that decode to nothing) is measured as they are inflated (see Outlook).
constexpr std::uint64_t compressedByteWork = 15;

// The pixels' compressed bytes: the lengths of the IDAT chunks, read from the chunk list alone.
std::uint64_t idatBytes(std::span<const std::uint8_t> data) {
    std::uint64_t total = 0;
    for (std::size_t at = 8; data.size() - at >= 12;) {
        const std::uint64_t length = static_cast<std::uint64_t>(data[at]) << 24 | data[at + 1] << 16 |
                                     data[at + 2] << 8 | data[at + 3];
        if (std::memcmp(&data[at + 4], "IDAT", 4) == 0)
            total += length;
        else if (std::memcmp(&data[at + 4], "IEND", 4) == 0)
            break;
        if (length > data.size() - at - 12)
            break;
        at += 12 + static_cast<std::size_t>(length);
    }
    return total;
}

// How a reading ended other than by finishing or on broken data: the flag or the backstop, seen as the
// library asked for input.
enum ReadEnding { readGoing, readStopped, readOverTime };

struct ReadSource {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset;
    DecodeWatch* watch;  // when the pixels are read
    ReadEnding ending;
    std::uint64_t rowsRead;  // the library's row calls begun, of every pass
};

// The library asks for its input a chunk header or a slice of IDAT (at most 8 KiB) at a time: between
// slices the stop flag and the CPU time are looked at, so that a stream of blocks that decode to nothing
// is left within a few milliseconds.
void readData(png_structp png, png_bytep out, png_size_t length) {
    auto* source = static_cast<ReadSource*>(png_get_io_ptr(png));
    if (source->watch) {
        const DecodeWatch::Verdict verdict = source->watch->check();
        if (verdict != DecodeWatch::carryOn) {
            source->ending = verdict == DecodeWatch::stopped ? readStopped : readOverTime;
            png_error(png, "ended");
        }
    }
    if (length > source->size - source->offset)
        png_error(png, "truncated");
    std::memcpy(out, source->data + source->offset, length);
    source->offset += length;
}

[[noreturn]] void raiseError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

void ignoreWarning(png_structp, png_const_charp) {}

struct Header {
    png_uint_32 width;
    png_uint_32 height;
    int bitDepth;
    int colorType;
    int interlace;
    bool transparency;  // a tRNS chunk
    png_bytep exif;
    png_uint_32 exifSize;
};

// Returns false when libpng gave up.
bool readHeaderInner(png_structp png, png_infop info, Header* header) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_read_info(png, info);
    png_get_IHDR(png, info, &header->width, &header->height, &header->bitDepth, &header->colorType,
                 &header->interlace, nullptr, nullptr);
    header->transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    header->exif = nullptr;
    header->exifSize = 0;
#ifdef PNG_eXIf_SUPPORTED
    png_get_eXIf_1(png, info, &header->exifSize, &header->exif);
#endif
    return true;
}

// Sets up the conversion to 8-bit four-channel pixels in `format` order; returns the number of passes
// over the image.
int setUpConversion(png_structp png, png_infop info, const Header* header, bool bgr,
                    png_size_t expectedRowBytes) {
    if (header->colorType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (header->colorType == PNG_COLOR_TYPE_GRAY && header->bitDepth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
    if (transparency)
        png_set_tRNS_to_alpha(png);
    if (header->bitDepth == 16)
        png_set_scale_16(png);
    if (header->colorType == PNG_COLOR_TYPE_GRAY || header->colorType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(png);
    if (!(header->colorType & PNG_COLOR_MASK_ALPHA) && !transparency)
        png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
    if (bgr)
        png_set_bgr(png);
    const int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != expectedRowBytes)
        png_error(png, "unexpected row size");
    return passes;
}

// What a decode still has before it once its rows are being read, for the watch (DecodeWatch::foresee):
// the rows' counted work not yet done and what follows them, and the compressed bytes not yet read at the
// pace of those read so far. That pace is the time spent on the rows beyond their counted work, for each
// byte read: nothing for an ordinary file, whose steps are counted above their cost, and some 100 ns a byte
// for deflate blocks that decode to nothing (their tables built anew every dozen bytes), wherever they lie
// in the stream. It is taken as nothing until the first MiB is read (some 0.1 s of such blocks), so that the
// first slices, read while the caches and the clock warm up, do not set it.
// A decode whose compressed bytes would take it past its figure is so ended as soon as their pace shows
// it, and at the latest once what it spent and its counted work still to come pass the figure.
struct Outlook {
    static constexpr std::uint64_t paceAfterBytes = 1024 * 1024;
    std::chrono::nanoseconds figure;

    std::int64_t rows;   // ns counted for all the library's row calls
    std::int64_t after;  // ns counted for the steps after the last row
    std::uint64_t rowCalls;
    std::uint64_t compressedBytes;  // of IDAT
    std::size_t start;              // where the input stood when the first row was asked for
    const ReadSource* source;

    static std::int64_t ahead(const void* context, std::int64_t spent) {
        const auto* outlook = static_cast<const Outlook*>(context);
        const ReadSource& source = *outlook->source;
        const std::int64_t done = static_cast<std::int64_t>(
            static_cast<double>(outlook->rows) * static_cast<double>(source.rowsRead) /
            static_cast<double>(std::max<std::uint64_t>(outlook->rowCalls, 1)));
        const std::uint64_t read =
            std::min<std::uint64_t>(source.offset - outlook->start, outlook->compressedBytes);
        const double pace =
            read < paceAfterBytes
                ? 0.0
                : static_cast<double>(std::max<std::int64_t>(spent - done, 0)) / static_cast<double>(read);
        const double left = static_cast<double>(outlook->rows - done + outlook->after) +
                            pace * static_cast<double>(outlook->compressedBytes - read);
        return left >= 9e18 ? std::numeric_limits<std::int64_t>::max() : static_cast<std::int64_t>(left);
    }
};

enum RowsStatus { rowsRead, rowsBroken, rowsStopped, rowsOverTime };

// Where the reader puts row `y`, and what it does with it once it is there.
using RowTarget = png_bytep (*)(void* context, png_uint_32 y);
using RowSink = void (*)(void* context, const std::uint8_t* row);

// Reads the image one row at a time, pass after pass when it is interlaced (each pass adds its pixels to
// the rows already there), into the row `target` names; `sink` (when not null) sees each row once it is
// read. Both run between the library's calls and so are never jumped over. The stop flag and the CPU time
// are looked at before every row, and by the source before every slice of input.
RowsStatus readRowsInner(png_structp png, png_infop info, const Header* header, bool bgr, png_size_t rowBytes,
                         RowTarget target, RowSink sink, void* context, DecodeWatch* watch,
                         const Outlook* outlook) {
    auto* source = static_cast<ReadSource*>(png_get_io_ptr(png));
    source->watch = watch;
    source->ending = readGoing;
    watch->foresee(Outlook::ahead, outlook, outlook->figure);
    if (setjmp(png_jmpbuf(png)))
        return source->ending == readStopped    ? rowsStopped
               : source->ending == readOverTime ? rowsOverTime
                                                : rowsBroken;
    const int passes = setUpConversion(png, info, header, bgr, rowBytes);
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < header->height; ++y) {
            const DecodeWatch::Verdict verdict = watch->check();
            if (verdict != DecodeWatch::carryOn)
                return verdict == DecodeWatch::stopped ? rowsStopped : rowsOverTime;
            const png_bytep row = target(context, y);
            ++source->rowsRead;
            png_read_row(png, row, nullptr);
            if (sink)
                sink(context, row);
        }
    }
    // The compressed bytes are all read: the steps left were counted in full, and the backstop watches them.
    watch->foresee(nullptr, nullptr, {});
    return rowsRead;
}

ImageError errorOf(RowsStatus status) {
    switch (status) {
        case rowsStopped:
            return ImageError::stopped;
        case rowsOverTime:
            return ImageError::tooMuchWork;
        case rowsRead:
        case rowsBroken:
            break;
    }
    return ImageError::corrupt;
}

int channelsOf(const Header& header) {
    switch (header.colorType) {
        case PNG_COLOR_TYPE_RGB:
            return 3;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return 2;
        case PNG_COLOR_TYPE_RGB_ALPHA:
            return 4;
        default:
            return 1;
    }
}

// The bytes of the rows as stored, filter bytes excluded, and the rows the library hands over: an
// interlaced image's passes each have rows of their own, and the library goes through every row of
// the image in each of its passes.
struct StoredRows {
    std::uint64_t bytes = 0;
    std::uint64_t rows = 0;
};

StoredRows storedRows(const Header& header) {
    const std::uint64_t bitsPerPixel =
        static_cast<std::uint64_t>(channelsOf(header)) * static_cast<unsigned>(header.bitDepth);
    const auto bytes = [&](std::uint64_t count, std::uint64_t width) {
        return count * ((width * bitsPerPixel + 7) / 8);
    };
    if (header.interlace == PNG_INTERLACE_NONE)
        return {bytes(header.height, header.width), header.height};
    StoredRows stored{0, 7 * static_cast<std::uint64_t>(header.height)};
    for (int pass = 0; pass < 7; ++pass)
        stored.bytes += bytes(PNG_PASS_ROWS(static_cast<std::uint64_t>(header.height), pass),
                              PNG_PASS_COLS(static_cast<std::uint64_t>(header.width), pass));
    return stored;
}

// The work of decoding the image, in tenths of a nanosecond as counted: of its rows, passed to the library
// and through what follows each (`rows`), and, when it is held whole to be shrunk, of shrinking it once
// they are all read (`after`).
struct Work {
    std::uint64_t rows = 0;
    std::uint64_t after = 0;

    // What the budget is checked against, with `compressedBytes` of IDAT at their least.
    std::uint64_t units(std::uint64_t compressedBytes) const {
        const std::uint64_t tenths =
            (rows + after + compressedBytes * compressedByteWork) * countedFifths / 5;
        return tenths * unitsPerFifteenNanoseconds / (15 * tenthsPerNanosecond);
    }
    static std::int64_t nanoseconds(std::uint64_t tenths) {
        return static_cast<std::int64_t>(tenths * countedFifths / 5 / tenthsPerNanosecond);
    }
};

// The work of decoding the image shrunk to `fitted` unless that is its own size; `held` when it is held
// whole to be shrunk.
Work workOf(const Header& header, Size fitted, bool held) {
    const int channels = channelsOf(header);
    const StoredRows stored = storedRows(header);
    const bool narrow = channels * header.bitDepth <= 16;
    std::uint64_t perPixel = pixelWork;
    if (header.bitDepth < 8)
        perPixel += unpackWork;
    if (header.colorType == PNG_COLOR_TYPE_PALETTE)
        perPixel += paletteWork;
    if (header.transparency)
        perPixel += transparencyWork;
    if (header.bitDepth == 16)
        perPixel += sixteenBitSampleWork * static_cast<unsigned>(channels);
    if (header.interlace != PNG_INTERLACE_NONE)
        perPixel += interlacedPixelWork;
    const std::uint64_t pixels = static_cast<std::uint64_t>(header.width) * header.height;
    Work work;
    work.rows =
        stored.rows * rowWork + stored.bytes * (narrow ? narrowByteWork : wideByteWork) + pixels * perPixel;
    if (fitted.width != static_cast<int>(header.width) || fitted.height != static_cast<int>(header.height)) {
        const bool weighted = (header.colorType & PNG_COLOR_MASK_ALPHA) != 0 || header.transparency;
        const std::uint64_t shrinking = pixels * (weighted ? weightedAveragedPixelWork : averagedPixelWork) +
                                        static_cast<std::uint64_t>(header.height) *
                                            static_cast<unsigned>(fitted.width) *
                                            (weighted ? weightedAveragedColumnWork : averagedColumnWork);
        (held ? work.after : work.rows) += shrinking;
        if (held)
            work.after += pixels * heldPixelWork;
    }
    return work;
}

struct ReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ReadSource source{};
    ~ReadStructs() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
};

constexpr std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool openRead(ReadStructs& s, std::span<const std::uint8_t> data, std::uint64_t maxPixels) {
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, raiseError, ignoreWarning);
    if (!s.png)
        return false;
    s.info = png_create_info_struct(s.png);
    if (!s.info)
        return false;
    s.source = ReadSource{data.data(), data.size(), 0, nullptr, readGoing, 0};
    png_set_read_fn(s.png, &s.source, readData);
    const auto sideLimit = static_cast<png_uint_32>(
        std::min<std::uint64_t>({maxPixels, static_cast<std::uint64_t>(Bitmap::maxSide), PNG_UINT_31_MAX}));
    png_set_user_limits(s.png, std::max<png_uint_32>(sideLimit, 1), std::max<png_uint_32>(sideLimit, 1));
    png_set_chunk_malloc_max(s.png, maxChunkBytes);
    png_set_chunk_cache_max(s.png, maxCachedChunks);
    // Of what a file carries besides its pixels, only the EXIF orientation is used: every other ancillary
    // chunk (text, colour profiles, the chunks no one knows) is skipped unread rather than inflated and
    // kept. tRNS and PLTE are always read.
    png_set_keep_unknown_chunks(s.png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    static constexpr png_byte used[] = {'e', 'X', 'I', 'f', 0};
    png_set_keep_unknown_chunks(s.png, PNG_HANDLE_CHUNK_AS_DEFAULT, used, 1);
    return true;
}

Orientation orientationOf(const Header& header) {
    if (!header.exif || header.exifSize == 0)
        return Orientation::up;
    return exifOrientation({header.exif, header.exifSize}).value_or(Orientation::up);
}

// The header read from the decode's source, its watch looked at once the first unwatchedHeaderBytes are
// read and then every 8 KiB, as between slices of IDAT: the chunks before the pixels, skipped unread but
// for their checksums, may be millions, each read in two or three calls.
struct HeaderSource {
    ReadSource* source;
    DecodeWatch* watch;
    std::size_t nextLook;  // the offset from which the watch is looked at again
};

void readHeaderData(png_structp png, png_bytep out, png_size_t length) {
    auto* header = static_cast<HeaderSource*>(png_get_io_ptr(png));
    ReadSource& source = *header->source;
    if (header->watch && source.offset >= header->nextLook) {
        header->nextLook = source.offset + 8 * 1024;
        const DecodeWatch::Verdict verdict = header->watch->check();
        if (verdict != DecodeWatch::carryOn) {
            source.ending = verdict == DecodeWatch::stopped ? readStopped : readOverTime;
            png_error(png, "ended");
        }
    }
    if (length > source.size - source.offset)
        png_error(png, "truncated");
    std::memcpy(out, source.data + source.offset, length);
    source.offset += length;
}

ImageResult<ImageInfo> readInfo(ReadStructs& s, std::span<const std::uint8_t> data, std::uint64_t maxPixels,
                                Header& header, DecodeWatch* watch) {
    if (detectFormat(data) != ImageFormat::png)
        return ImageError::unknownFormat;
    if (!openRead(s, data, maxPixels))
        return ImageError::tooLarge;
    HeaderSource source{&s.source, watch, unwatchedHeaderBytes};
    png_set_read_fn(s.png, &source, readHeaderData);
    const bool read = readHeaderInner(s.png, s.info, &header);
    png_set_read_fn(s.png, &s.source, readData);
    if (!read) {
        switch (s.source.ending) {
            case readStopped:
                return ImageError::stopped;
            case readOverTime:
                return ImageError::tooMuchWork;
            case readGoing:
                break;
        }
        // Over the side limit shows here too; the pixel check below tells the two apart for sane sizes.
        return ImageError::corrupt;
    }
    return ImageInfo{ImageFormat::png, static_cast<int>(header.width), static_cast<int>(header.height),
                     orientationOf(header)};
}

struct WriteTarget {
    std::vector<std::uint8_t>* bytes;
};

void writeData(png_structp png, png_bytep data, png_size_t length) {
    auto* target = static_cast<WriteTarget*>(png_get_io_ptr(png));
    bool stored = true;
    try {
        target->bytes->insert(target->bytes->end(), data, data + length);
    } catch (...) {
        stored = false;
    }
    if (!stored)
        png_error(png, "out of memory");
}

void flushData(png_structp) {}

bool writeInner(png_structp png, png_infop info, png_uint_32 width, png_uint_32 height, bool alpha, bool bgr,
                bool dropFourthByte, int level, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, width, height, 8, alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, level);
    png_write_info(png, info);
    if (bgr)
        png_set_bgr(png);
    if (dropFourthByte)
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

bool opaque(const ImageView& image) {
    if (image.format == PixelFormat::bgrx)
        return true;
    for (int y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.pixels + image.stride * static_cast<std::size_t>(y);
        for (int x = 0; x < image.width; ++x)
            if (row[static_cast<std::size_t>(x) * 4 + 3] != 0xFF)
                return false;
    }
    return true;
}

}  // namespace

std::optional<ImageFormat> detectFormat(std::span<const std::uint8_t> data) {
    if (data.size() >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF)
        return ImageFormat::jpeg;
    if (data.size() >= sizeof signature &&
        std::equal(std::begin(signature), std::end(signature), data.begin()))
        return ImageFormat::png;
    return std::nullopt;
}

namespace {

// The header, whatever size it claims.
ImageResult<ImageInfo> readAnySizeInfo(std::span<const std::uint8_t> data, DecodeWatch* watch) {
    ReadStructs s;
    Header header{};
    return readInfo(s, data, static_cast<std::uint64_t>(PNG_UINT_31_MAX) * PNG_UINT_31_MAX, header, watch);
}

}  // namespace

ImageResult<ImageInfo> readPNGInfo(std::span<const std::uint8_t> data, const std::atomic<bool>* stop) {
    if (!stop)
        return readAnySizeInfo(data, nullptr);
    DecodeWatch watch(stop, pngCPUTimeLimit);
    return readAnySizeInfo(data, &watch);
}

ImageResult<Bitmap> decodePNG(std::span<const std::uint8_t> data, const DecodeOptions& options) {
    const std::chrono::nanoseconds limit =
        options.cpuTimeLimit.count() > 0 ? options.cpuTimeLimit : pngCPUTimeLimit;
    DecodeWatch watch(options.stop, limit);
    ReadStructs s;
    Header header{};
    auto info = readInfo(s, data, options.maxPixels, header, &watch);
    if (!info) {
        // libpng refuses sides over the limit while reading the header; report those as too large.
        if (info.error() == ImageError::corrupt) {
            auto unbounded = readAnySizeInfo(data, &watch);
            if (!unbounded && unbounded.error() != ImageError::corrupt)
                return unbounded.error();
            if (unbounded &&
                static_cast<std::uint64_t>(unbounded->width) * static_cast<std::uint64_t>(unbounded->height) >
                    options.maxPixels)
                return ImageError::tooLarge;
        }
        return info.error();
    }
    const std::uint64_t pixels =
        static_cast<std::uint64_t>(info->width) * static_cast<std::uint64_t>(info->height);
    if (pixels > options.maxPixels)
        return ImageError::tooLarge;
    const bool bgr = options.format != PixelFormat::rgba;
    const bool shrunk = options.longestSide > 0 && std::max(info->width, info->height) > options.longestSide;
    // An interlaced image comes in passes over the whole picture, so it is held whole; when it is then
    // shrunk, that copy is working memory, as the EXIF data kept from the header is.
    const bool streamed = shrunk && header.interlace == PNG_INTERLACE_NONE;
    const std::uint64_t heldBytes = shrunk && !streamed ? pixels * 4 : 0;
    if (header.exifSize + heldBytes > options.memoryBudget)
        return ImageError::tooLarge;
    const Size fitted = shrunk ? fitLongestSide(info->width, info->height, options.longestSide)
                               : Size{info->width, info->height};
    const Work work = workOf(header, fitted, shrunk && !streamed);
    const std::uint64_t compressedBytes = idatBytes(data);
    if (work.units(compressedBytes) > options.workBudget)
        return ImageError::tooMuchWork;
    const Outlook outlook{limit * 5 / 6,
                          Work::nanoseconds(work.rows),
                          Work::nanoseconds(work.after),
                          storedRows(header).rows,
                          compressedBytes,
                          s.source.offset,
                          &s.source};
    if (streamed) {
        // Much larger than wanted: rows go straight into the averaged result, never all held at once.
        auto out = Bitmap::create(fitted.width, fitted.height, options.format, options.maxPixels);
        if (!out)
            return ImageError::tooLarge;
        const bool alpha =
            (header.colorType & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(s.png, s.info, PNG_INFO_tRNS);
        struct Context {
            std::vector<std::uint8_t> row;
            AreaAverager averager;
        } context{std::vector<std::uint8_t>(static_cast<std::size_t>(info->width) * 4),
                  AreaAverager(info->width, info->height, *out, alpha)};
        const RowTarget target = [](void* c, png_uint_32) { return static_cast<Context*>(c)->row.data(); };
        const RowSink sink = [](void* c, const std::uint8_t* line) {
            static_cast<Context*>(c)->averager.push(line);
        };
        const RowsStatus status = readRowsInner(s.png, s.info, &header, bgr, context.row.size(), target, sink,
                                                &context, &watch, &outlook);
        if (status != rowsRead)
            return errorOf(status);
        return finishRows(std::move(*out), fitted,
                          options.applyOrientation ? info->orientation : Orientation::up, watch);
    }
    const auto turn = takeDecodeTurn(heldBytes, options.stop);
    if (!turn)
        return ImageError::stopped;
    auto bitmap = Bitmap::create(info->width, info->height, options.format, options.maxPixels);
    if (!bitmap)
        return ImageError::tooLarge;
    const RowTarget target = [](void* c, png_uint_32 y) {
        auto* b = static_cast<Bitmap*>(c);
        return b->mutablePixels() + b->stride() * y;
    };
    const RowsStatus status = readRowsInner(s.png, s.info, &header, bgr, bitmap->stride(), target, nullptr,
                                            &*bitmap, &watch, &outlook);
    if (status != rowsRead)
        return errorOf(status);
    return finishRows(std::move(*bitmap), fitted,
                      options.applyOrientation ? info->orientation : Orientation::up, watch);
}

ImageResult<std::vector<std::uint8_t>> encodePNG(const ImageView& image, int compressionLevel) {
    if (!image.valid())
        return ImageError::invalidArgument;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, raiseError, ignoreWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    struct Cleanup {
        png_structp& png;
        png_infop& info;
        ~Cleanup() { png_destroy_write_struct(&png, info ? &info : nullptr); }
    } cleanup{png, info};
    if (!png || !info)
        return ImageError::tooLarge;
    std::vector<std::uint8_t> bytes;
    WriteTarget target{&bytes};
    png_set_write_fn(png, &target, writeData, flushData);
    std::vector<png_bytep> rows(static_cast<std::size_t>(image.height));
    for (std::size_t y = 0; y < rows.size(); ++y)
        rows[y] = const_cast<png_bytep>(image.pixels + image.stride * y);  // libpng only reads them
    const bool alpha = !opaque(image);
    if (!writeInner(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height),
                    alpha, image.format != PixelFormat::rgba, !alpha, std::clamp(compressionLevel, 0, 9),
                    rows.data()))
        return ImageError::tooLarge;
    return bytes;
}

}  // namespace platform::imaging
