#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
#include <jerror.h>
#include <jpeglib.h>

#include "platform/imaging/AreaAverage.h"
#include "platform/imaging/Codecs.h"
#include "platform/imaging/DecodeSteps.h"
#include "platform/imaging/DecodeWatch.h"
#include "platform/imaging/Exif.h"
#include "platform/imaging/JPEGWalk.h"

namespace platform::imaging {
namespace {

struct HandleDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

int turboFormat(PixelFormat format) {
    switch (format) {
        case PixelFormat::bgra:
            return TJPF_BGRA;
        case PixelFormat::bgrx:
            return TJPF_BGRX;
        case PixelFormat::rgba:
            return TJPF_RGBA;
    }
    return TJPF_BGRA;
}

// The smallest of the library's scales (never above 1) whose output still has a longest side of at least
// `longestSide`, so that the decoded pixels stay close to the size asked for.
tjscalingfactor chooseScale(int width, int height, int longestSide) {
    tjscalingfactor best{1, 1};
    if (longestSide <= 0 || std::max(width, height) <= longestSide)
        return best;
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    std::int64_t bestLongest = std::max(width, height);
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num <= 0 || f.denom <= 0 || f.num > f.denom)
            continue;
        const std::int64_t longest = std::max(TJSCALED(width, f), TJSCALED(height, f));
        if (longest >= longestSide && longest < bestLongest) {
            best = f;
            bestLongest = longest;
        }
    }
    return best;
}

J_COLOR_SPACE jpegColorSpace(PixelFormat format) {
    switch (format) {
        case PixelFormat::bgra:
            return JCS_EXT_BGRA;
        case PixelFormat::bgrx:
            return JCS_EXT_BGRX;
        case PixelFormat::rgba:
            return JCS_EXT_RGBA;
    }
    return JCS_EXT_BGRA;
}

// How the scanline reader ends other than by finishing: the library's errors, its warnings (truncated or
// damaged data, which would otherwise come out partly grey), work past the budget and a raised stop flag
// all jump back to the reader, whose frame holds nothing that needs destroying.
enum ScanStatus { scanned, broken, overBudget, overWork, stopped };

// What a reading notes of the library's for checkJPEGWalk (a decode notes nothing): where it begins each
// scan against where the walk found them, and where it ends.
struct ScanTrace {
    const std::vector<std::size_t>* walkedStarts;
    int scans;        // begun by the library
    int firstAstray;  // the first of them not begun where the walk found it; 0: none
    std::size_t end;  // once the library has read the end of image
};

struct ScanlineErrors {
    jpeg_error_mgr manager;  // first: the library's error pointer is the whole struct's
    jpeg_progress_mgr progress;
    std::jmp_buf jump;
    ScanStatus ending;
    DecodeWatch* watch;
    std::uint64_t work;    // counted so far
    std::uint64_t budget;  // the most `work` may reach
    int countedScans;      // the scans whose work is in `work`
    int walkedScans;       // the first scans, counted before decoding from the file's segments
    ScanTrace* trace;
};

[[noreturn]] void endDecode(j_common_ptr info, ScanStatus ending) {
    auto* errors = reinterpret_cast<ScanlineErrors*>(info->err);
    errors->ending = ending;
    std::longjmp(errors->jump, 1);
}

[[noreturn]] void failDecode(j_common_ptr info) {
    const int code = info->err->msg_code;
    endDecode(info, code == JERR_NO_BACKING_STORE || code == JERR_OUT_OF_MEMORY ? overBudget : broken);
}

void warningIsFailure(j_common_ptr info, int level) {
    if (level < 0)
        failDecode(info);
}

// The work of a decode (see DecodeOptions::workBudget), measured where each step costs the most, in
// nanoseconds of one core as bench/decode_work measures them: the library visits every block a scan
// covers whatever the scan codes (a scan of a few bytes can make it walk the whole image), and in a
// refinement of AC coefficients it walks each block's band up to its end coefficient even when none is
// set. A block of a scan is charged with its first code (one bit at the least, as a DC scan of one-bit
// codes has it); every byte of the scans' coded data with the further codes it can hold (a Huffman code
// spends at least a bit on each value it decodes, and a coefficient's code has a bit of its value after
// it), as the refinement scans of a grainy photograph cost, the slowest a byte that was found.
// Arithmetic coding has no such bound (a learnt decision costs almost no bit), and files coded so are
// refused from their header (see readJPEGInfo).
// 17 units are counted for every 10 ns, and each step a fifth above what it was measured at, for
// machines slower than the one it was measured on: a decode within the budget (defaultWorkBudget) takes
// at most about a second there.
constexpr std::uint64_t unitsOf(std::uint64_t nanoseconds) {
    return (nanoseconds * 17 * 6 + 49) / 50;
}
constexpr std::uint64_t scanBlockWork = unitsOf(20);
constexpr std::uint64_t codedByteWork = unitsOf(32);
constexpr std::uint64_t refinedCoefficientWork = unitsOf(2);
constexpr std::uint64_t scanSetUpWork = unitsOf(1000);  // tables and state, whatever its size
// The output: every block transformed back to samples, every pixel converted and stored (or averaged).
constexpr std::uint64_t outputBlockWork = unitsOf(25);
constexpr std::uint64_t storedPixelWork = unitsOf(3);
constexpr std::uint64_t averagedPixelWork = unitsOf(12);

// False once `work` more would pass the budget.
bool charge(ScanlineErrors* errors, std::uint64_t work) {
    if (work > errors->budget - std::min(errors->budget, errors->work))
        return false;
    errors->work += work;
    return true;
}

// The work of the scan whose header the library has read last.
std::uint64_t scanWork(j_decompress_ptr info) {
    std::uint64_t blocks = 0;
    if (info->comps_in_scan == 1) {
        const jpeg_component_info* component = info->cur_comp_info[0];
        blocks = static_cast<std::uint64_t>(component->width_in_blocks) * component->height_in_blocks;
    } else {
        // Interleaved: whole units of each component's blocks, across and down the image.
        const auto units = [](std::uint64_t samples, int factor) {
            const std::uint64_t unit = static_cast<std::uint64_t>(factor) * DCTSIZE;
            return (samples + unit - 1) / unit;
        };
        std::uint64_t perUnit = 0;
        for (int i = 0; i < info->comps_in_scan; ++i)
            perUnit += static_cast<std::uint64_t>(info->cur_comp_info[i]->h_samp_factor) *
                       static_cast<std::uint64_t>(info->cur_comp_info[i]->v_samp_factor);
        blocks = units(info->image_width, info->max_h_samp_factor) *
                 units(info->image_height, info->max_v_samp_factor) * perUnit;
    }
    std::uint64_t perBlock = scanBlockWork;
    if (info->Ss > 0 && info->Ah > 0)
        perBlock += refinedCoefficientWork * static_cast<std::uint64_t>(std::max(info->Se, 0));
    return scanSetUpWork + blocks * perBlock;
}

// Ends the decode when the stop flag is raised or its CPU time is past the backstop.
void watchTime(j_common_ptr info) {
    switch (reinterpret_cast<ScanlineErrors*>(info->err)->watch->check()) {
        case DecodeWatch::stopped:
            endDecode(info, stopped);
        case DecodeWatch::overTime:
            endDecode(info, overWork);
        case DecodeWatch::carryOn:
            break;
    }
}

// Called by the library for every row of blocks it reads and every row it outputs: stops the decode
// when asked, and counts the work of each scan the walk of the segments did not find before the scan is
// decoded (none: a decode reads only files the walk followed to their end, as the library reads them).
void watchProgress(j_common_ptr info) {
    auto* errors = reinterpret_cast<ScanlineErrors*>(info->err);
    watchTime(info);
    auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    if (decompress->input_scan_number > errors->countedScans) {
        errors->countedScans = decompress->input_scan_number;
        if (errors->countedScans > errors->walkedScans && !charge(errors, scanWork(decompress)))
            endDecode(info, overWork);
    }
}

// What the library allocates for rows and tables, besides the coefficients, at the widest images.
constexpr std::size_t libraryRowBytes = 4 * 1024 * 1024;

// Where the reader puts scanline `y`, and what it does with it once it is there.
using RowTarget = std::uint8_t* (*)(void* context, int y);
using RowSink = void (*)(void* context, const std::uint8_t* row);

// What one reading may use and how it is stopped.
struct ReadLimits {
    std::size_t memoryBudget;
    std::uint64_t workBudget;
    std::uint64_t pixelWork;   // for each pixel output, by what is done with it
    std::uint64_t codedBytes;  // of the scans' coded data
    std::uint64_t scanWork;    // of the scans found by walking the segments
    int scans;                 // found so
    DecodeWatch* watch;
    ScanTrace* trace;  // null but in checkJPEGWalk
};

// The file handed to the library a slice at a time, so that between slices the stop flag and the CPU time
// are looked at, wherever the decoder is in its coded data. A slice is large enough that the library's
// fast Huffman decoding, which wants a few KiB ahead, runs almost always.
struct SlicedSource {
    static constexpr std::size_t sliceBytes = 64 * 1024;
    jpeg_source_mgr manager;  // first: the library's source pointer is the whole struct's
    const std::uint8_t* data;
    std::size_t size;
    std::size_t offset;  // of the next slice
};

boolean fillSlice(j_decompress_ptr info) {
    watchTime(reinterpret_cast<j_common_ptr>(info));
    auto* source = reinterpret_cast<SlicedSource*>(info->src);
    if (source->offset >= source->size) {
        // As the library's memory source does at the end: a warning (which fails the decode), and an
        // end of image for it to read meanwhile.
        static const JOCTET end[2] = {0xFF, JPEG_EOI};
        WARNMS(info, JWRN_JPEG_EOF);
        source->manager.next_input_byte = end;
        source->manager.bytes_in_buffer = 2;
        return TRUE;
    }
    const std::size_t bytes = std::min(SlicedSource::sliceBytes, source->size - source->offset);
    source->manager.next_input_byte = source->data + source->offset;
    source->manager.bytes_in_buffer = bytes;
    source->offset += bytes;
    return TRUE;
}

void skipInput(j_decompress_ptr info, long count) {
    jpeg_source_mgr* manager = info->src;
    if (count <= 0)
        return;
    auto left = static_cast<std::size_t>(count);
    while (left > manager->bytes_in_buffer) {
        left -= manager->bytes_in_buffer;
        manager->bytes_in_buffer = 0;
        fillSlice(info);
    }
    manager->next_input_byte += left;
    manager->bytes_in_buffer -= left;
}

// The progress monitor of a traced reading: the library calls it before it decodes a scan whose header it
// has just read, its source standing at the scan's coded data.
void traceScans(j_common_ptr info) {
    auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
    ScanTrace* trace = reinterpret_cast<ScanlineErrors*>(info->err)->trace;
    if (decompress->input_scan_number > trace->scans) {
        trace->scans = decompress->input_scan_number;
        const auto* source = reinterpret_cast<const SlicedSource*>(decompress->src);
        const std::size_t at = source->offset - source->manager.bytes_in_buffer;
        const std::vector<std::size_t>& walked = *trace->walkedStarts;
        if (trace->firstAstray == 0 &&
            (static_cast<std::size_t>(trace->scans) > walked.size() || walked[trace->scans - 1] != at))
            trace->firstAstray = trace->scans;
    }
    watchProgress(info);
}

void useSlicedSource(j_decompress_ptr info, SlicedSource* source, const std::uint8_t* data,
                     std::size_t size) {
    source->manager.init_source = [](j_decompress_ptr) {};
    source->manager.fill_input_buffer = fillSlice;
    source->manager.skip_input_data = skipInput;
    source->manager.resync_to_restart = jpeg_resync_to_restart;
    source->manager.term_source = [](j_decompress_ptr) {};
    source->manager.next_input_byte = nullptr;
    source->manager.bytes_in_buffer = 0;
    source->data = data;
    source->size = size;
    source->offset = 0;
    info->src = &source->manager;
}

// The work of the scans the walk found, as scanWork counts each (UINT64_MAX past what it can hold).
std::uint64_t walkedScanWork(const WalkedScans& walked) {
    const std::uint64_t parts[][2] = {{static_cast<std::uint64_t>(walked.count), scanSetUpWork},
                                      {walked.scanBlocks, scanBlockWork},
                                      {walked.refinedCoefficients, refinedCoefficientWork}};
    std::uint64_t total = 0;
    for (const auto& [count, work] : parts) {
        const std::uint64_t part = count > UINT64_MAX / work ? UINT64_MAX : count * work;
        total = part > UINT64_MAX - total ? UINT64_MAX : total + part;
    }
    return total;
}

// The work readScanlines counts before it decodes, from the walk alone: the output's, the coded bytes' and
// the walked scans'.
std::uint64_t countedBeforeDecoding(const WalkedScans& walked, int width, int height,
                                    std::uint64_t pixelWork) {
    const std::uint64_t parts[] = {
        walked.frameBlocks * outputBlockWork, walked.codedBytes * codedByteWork, walkedScanWork(walked),
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * pixelWork};
    std::uint64_t total = 0;
    for (const std::uint64_t part : parts)
        total = part > UINT64_MAX - total ? UINT64_MAX : total + part;
    return total;
}

// Decodes at scale num/denom, scanline by scanline, into the rows `target` names; `sink` (when not null)
// sees each one after it is decoded. The library's whole-image buffers (the coefficients of every block,
// which progressive files need) may take at most the memory budget; with no backing store the library
// refuses a file needing more before it decodes a pixel. The output's work and the work of the scans the
// walk of the segments found are counted before anything is decoded.
// C only: nothing with a destructor lives in this frame, so the library's long jump leaves nothing behind.
ScanStatus readScanlines(const std::uint8_t* data, unsigned long size, unsigned num, unsigned denom,
                         J_COLOR_SPACE space, int width, int height, const ReadLimits* limits,
                         RowTarget target, RowSink sink, void* context) {
    jpeg_decompress_struct info;
    ScanlineErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = failDecode;
    errors.manager.emit_message = warningIsFailure;
    errors.watch = limits->watch;
    errors.work = 0;
    errors.budget = limits->workBudget;
    errors.countedScans = 0;
    errors.walkedScans = limits->scans;
    errors.trace = limits->trace;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return errors.ending;
    }
    jpeg_create_decompress(&info);
    // The budget is for the whole-image buffers; the library's row buffers come on top of it.
    info.mem->max_memory_to_use = static_cast<long>(
        std::min<std::size_t>(limits->memoryBudget, LONG_MAX - libraryRowBytes) + libraryRowBytes);
    SlicedSource source;
    useSlicedSource(&info, &source, data, size);
    jpeg_read_header(&info, TRUE);
    info.scale_num = num;
    info.scale_denom = denom;
    info.out_color_space = space;
    jpeg_calc_output_dimensions(&info);
    if (static_cast<int>(info.output_width) != width || static_cast<int>(info.output_height) != height ||
        info.output_components != 4) {
        jpeg_destroy_decompress(&info);
        return broken;
    }
    std::uint64_t blocks = 0;
    for (int i = 0; i < info.num_components; ++i)
        blocks += static_cast<std::uint64_t>(info.comp_info[i].width_in_blocks) *
                  info.comp_info[i].height_in_blocks;
    if (!charge(&errors, blocks * outputBlockWork) || !charge(&errors, limits->codedBytes * codedByteWork) ||
        !charge(&errors, limits->scanWork) ||
        !charge(&errors,
                static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) * limits->pixelWork))
        endDecode(reinterpret_cast<j_common_ptr>(&info), overWork);
    errors.progress.progress_monitor = limits->trace ? traceScans : watchProgress;
    errors.progress.progress_monitor(reinterpret_cast<j_common_ptr>(&info));
    info.progress = &errors.progress;
    jpeg_start_decompress(&info);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {target(context, static_cast<int>(info.output_scanline))};
        if (jpeg_read_scanlines(&info, rows, 1) != 1)
            failDecode(reinterpret_cast<j_common_ptr>(&info));
        if (sink)
            sink(context, rows[0]);
    }
    jpeg_finish_decompress(&info);
    if (limits->trace)
        limits->trace->end = source.offset - source.manager.bytes_in_buffer;
    jpeg_destroy_decompress(&info);
    return scanned;
}

// The header's size, whether the file is arithmetic-coded, and the bytes of the whole-image coefficient
// buffers a decode of this file holds (none for a single scan): per component, its blocks rounded up to
// whole sampling units, 64 coefficients of 2 bytes each, as the library allocates them; and the bytes the
// header took. With a watch, the file is handed over a slice at a time, as to a decode, and the watch looked
// at between slices after the first (of unwatchedHeaderBytes): the segments before the first scan may be
// millions. C only, like readScanlines.
ScanStatus readLayout(const std::uint8_t* data, unsigned long size, DecodeWatch* watch, int* width,
                      int* height, bool* arithmetic, std::uint64_t* coefficientBytes,
                      std::size_t* headerBytes) {
    jpeg_decompress_struct info;
    ScanlineErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = failDecode;
    // Warnings are the decode's concern; the header alone is read as the library reads it.
    errors.manager.emit_message = [](j_common_ptr, int) {};
    errors.watch = watch;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return errors.ending;
    }
    jpeg_create_decompress(&info);
    SlicedSource source;
    if (watch) {
        useSlicedSource(&info, &source, data, size);
        source.manager.next_input_byte = data;
        source.manager.bytes_in_buffer = std::min<std::size_t>(size, unwatchedHeaderBytes);
        source.offset = source.manager.bytes_in_buffer;
    } else {
        jpeg_mem_src(&info, data, size);
    }
    jpeg_read_header(&info, TRUE);
    *headerBytes = watch ? source.offset - source.manager.bytes_in_buffer : 0;
    *width = static_cast<int>(info.image_width);
    *height = static_cast<int>(info.image_height);
    *arithmetic = info.arith_code != FALSE;
    *coefficientBytes = 0;
    if (jpeg_has_multiple_scans(&info)) {
        for (int i = 0; i < info.num_components; ++i) {
            const jpeg_component_info& component = info.comp_info[i];
            const auto roundUp = [](std::uint64_t value, std::uint64_t unit) {
                return unit == 0 ? value : (value + unit - 1) / unit * unit;
            };
            *coefficientBytes +=
                roundUp(component.width_in_blocks, static_cast<unsigned>(component.h_samp_factor)) *
                roundUp(component.height_in_blocks, static_cast<unsigned>(component.v_samp_factor)) *
                sizeof(JBLOCK);
        }
    }
    jpeg_destroy_decompress(&info);
    return scanned;
}

// The encoder's output goes in blocks into a vector reserved for the whole limit, so that it is never
// copied as it grows; past the limit the encoding stops.
struct LimitedDestination {
    static constexpr std::size_t blockBytes = 64 * 1024;
    jpeg_destination_mgr manager;
    std::vector<std::uint8_t>* out;
    std::size_t limit;
    bool overLimit;
    JOCTET block[blockBytes];
};

struct EncodeErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void failEncode(j_common_ptr info) {
    std::longjmp(reinterpret_cast<EncodeErrors*>(info->err)->jump, 1);
}

// Appends what the block holds; past the limit the encoding ends through the error handler.
void flushBlock(j_compress_ptr info, std::size_t bytes) {
    auto* destination = reinterpret_cast<LimitedDestination*>(info->dest);
    if (bytes > destination->limit - destination->out->size()) {
        destination->overLimit = true;
        failEncode(reinterpret_cast<j_common_ptr>(info));
    }
    // Within the reserved capacity: no allocation, nothing thrown.
    destination->out->insert(destination->out->end(), destination->block, destination->block + bytes);
    destination->manager.next_output_byte = destination->block;
    destination->manager.free_in_buffer = LimitedDestination::blockBytes;
}

enum EncodeStatus { encoded, encoderFailed, pastLimit };

// Encodes as tjCompress2 does with 4:2:0 chroma and no flags (the same parameters, so the same bytes),
// into `out`, which the caller reserved for `limit` bytes. C only, like readScanlines.
EncodeStatus compressWithin(const ImageView& image, int quality, std::vector<std::uint8_t>* out,
                            std::size_t limit, LimitedDestination* destination) {
    jpeg_compress_struct info;
    EncodeErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = failEncode;
    destination->out = out;
    destination->limit = limit;
    destination->overLimit = false;
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_compress(&info);
        return destination->overLimit ? pastLimit : encoderFailed;
    }
    jpeg_create_compress(&info);
    destination->manager.init_destination = [](j_compress_ptr c) {
        auto* d = reinterpret_cast<LimitedDestination*>(c->dest);
        d->manager.next_output_byte = d->block;
        d->manager.free_in_buffer = LimitedDestination::blockBytes;
    };
    destination->manager.empty_output_buffer = [](j_compress_ptr c) -> boolean {
        flushBlock(c, LimitedDestination::blockBytes);
        return TRUE;
    };
    destination->manager.term_destination = [](j_compress_ptr c) {
        flushBlock(c, LimitedDestination::blockBytes - c->dest->free_in_buffer);
    };
    info.dest = &destination->manager;
    info.image_width = static_cast<JDIMENSION>(image.width);
    info.image_height = static_cast<JDIMENSION>(image.height);
    info.in_color_space = jpegColorSpace(image.format);
    info.input_components = 4;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    info.dct_method = quality >= 96 ? JDCT_ISLOW : JDCT_FASTEST;
    jpeg_set_colorspace(&info, JCS_YCbCr);
    info.comp_info[0].h_samp_factor = 2;
    info.comp_info[0].v_samp_factor = 2;
    for (int component = 1; component < 3; ++component) {
        info.comp_info[component].h_samp_factor = 1;
        info.comp_info[component].v_samp_factor = 1;
    }
    jpeg_start_compress(&info, TRUE);
    while (info.next_scanline < info.image_height) {
        // The library only reads the row.
        JSAMPROW rows[1] = {const_cast<JSAMPROW>(image.pixels + image.stride * info.next_scanline)};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return encoded;
}

ImageError errorOf(ScanStatus status) {
    switch (status) {
        case overBudget:
            return ImageError::tooLarge;
        case overWork:
            return ImageError::tooMuchWork;
        case stopped:
            return ImageError::stopped;
        case scanned:
        case broken:
            break;
    }
    return ImageError::corrupt;
}

ReadLimits limitsOf(const DecodeOptions& options, std::uint64_t pixelWork, const WalkedScans& scans,
                    DecodeWatch* watch) {
    return {options.memoryBudget,  options.workBudget, pixelWork, scans.codedBytes,
            walkedScanWork(scans), scans.count,        watch,     nullptr};
}

// A picture larger than wanted, decoded scanline by scanline straight into the area-averaged result:
// the memory in use stays near the result's, however large the source.
ImageResult<Bitmap> decodeJPEGAveraged(std::span<const std::uint8_t> data, tjscalingfactor factor, int width,
                                       int height, Size fitted, const DecodeOptions& options,
                                       const WalkedScans& walked, DecodeWatch* watch) {
    auto out = Bitmap::create(fitted.width, fitted.height, options.format, UINT64_MAX);
    if (!out)
        return ImageError::tooLarge;
    struct Context {
        std::vector<std::uint8_t> row;
        AreaAverager averager;
    } context{std::vector<std::uint8_t>(static_cast<std::size_t>(width) * 4),
              AreaAverager(width, height, *out, false)};
    const RowTarget target = [](void* c, int) { return static_cast<Context*>(c)->row.data(); };
    const RowSink sink = [](void* c, const std::uint8_t* line) {
        static_cast<Context*>(c)->averager.push(line);
    };
    const ReadLimits limits = limitsOf(options, averagedPixelWork, walked, watch);
    const ScanStatus status =
        readScanlines(data.data(), static_cast<unsigned long>(data.size()), static_cast<unsigned>(factor.num),
                      static_cast<unsigned>(factor.denom), jpegColorSpace(options.format), width, height,
                      &limits, target, sink, &context);
    if (status != scanned)
        return errorOf(status);
    return std::move(*out);
}

}  // namespace

namespace {

ImageResult<ImageInfo> readInfo(std::span<const std::uint8_t> data, DecodeWatch* watch) {
    if (detectFormat(data) != ImageFormat::jpeg)
        return ImageError::unknownFormat;
    int width = 0;
    int height = 0;
    bool arithmetic = false;
    std::uint64_t coefficientBytes = 0;
    std::size_t headerBytes = 0;
    const ScanStatus status = readLayout(data.data(), static_cast<unsigned long>(data.size()), watch, &width,
                                         &height, &arithmetic, &coefficientBytes, &headerBytes);
    if (status == stopped || status == overWork)
        return errorOf(status);
    if (status != scanned || width <= 0 || height <= 0)
        return ImageError::corrupt;
    // No phone or camera writes arithmetic coding and browsers do not decode it, while the work of its
    // decisions, which cost almost no bits once learnt, is bounded by nothing a header tells: every decode
    // starts here, and refuses such a file before it allocates, waits for its turn or decodes a scan.
    if (arithmetic)
        return ImageError::unsupported;
    const Orientation orientation = jpegOrientation(data);
    // That walk of the same segments looks at nothing: past the header's unwatched bytes, the watch is
    // looked at after it.
    if (watch && headerBytes > unwatchedHeaderBytes) {
        if (const auto ending = endingOf(watch->check()))
            return *ending;
    }
    return ImageInfo{ImageFormat::jpeg, width, height, orientation, coefficientBytes};
}

}  // namespace

ImageResult<ImageInfo> readJPEGInfo(std::span<const std::uint8_t> data, const std::atomic<bool>* stop) {
    if (!stop)
        return readInfo(data, nullptr);
    DecodeWatch watch(stop, jpegCPUTimeLimit);
    return readInfo(data, &watch);
}

ImageResult<Bitmap> decodeJPEG(std::span<const std::uint8_t> data, const DecodeOptions& options) {
    DecodeWatch watch(options.stop,
                      options.cpuTimeLimit.count() > 0 ? options.cpuTimeLimit : jpegCPUTimeLimit);
    auto info = readInfo(data, &watch);
    if (!info)
        return info.error();
    if (static_cast<std::uint64_t>(info->width) * static_cast<std::uint64_t>(info->height) >
        options.maxPixels)
        return ImageError::tooLarge;
    // The coefficients of a progressive file are held at full size whatever the scale; one that needs
    // more than the budget is refused before anything is decoded, and a large one waits its turn.
    if (info->workingBytes > options.memoryBudget)
        return ImageError::tooLarge;
    // What the count knows before decoding is looked at before the decode waits for its turn.
    const tjscalingfactor factor = chooseScale(info->width, info->height, options.longestSide);
    const int width = TJSCALED(info->width, factor);
    const int height = TJSCALED(info->height, factor);
    const bool shrunk = options.longestSide > 0 && std::max(width, height) > options.longestSide;
    const WalkedScans walked = walkScans(data);
    if (walked.end != WalkedScans::End::image)
        return ImageError::corrupt;
    if (countedBeforeDecoding(walked, width, height, shrunk ? averagedPixelWork : storedPixelWork) >
        options.workBudget)
        return ImageError::tooMuchWork;
    const auto turn = takeDecodeTurn(info->workingBytes, options.stop);
    if (!turn)
        return ImageError::stopped;
    const Orientation orientation = options.applyOrientation ? info->orientation : Orientation::up;
    if (shrunk) {
        auto averaged =
            decodeJPEGAveraged(data, factor, width, height,
                               fitLongestSide(width, height, options.longestSide), options, walked, &watch);
        if (!averaged)
            return averaged;
        const Size size{averaged->width(), averaged->height()};
        return finishRows(std::move(*averaged), size, orientation, watch);
    }
    auto bitmap = Bitmap::create(width, height, options.format, options.maxPixels);
    if (!bitmap)
        return ImageError::tooLarge;
    const RowTarget target = [](void* c, int y) {
        auto* b = static_cast<Bitmap*>(c);
        return b->mutablePixels() + b->stride() * static_cast<std::size_t>(y);
    };
    const ReadLimits limits = limitsOf(options, storedPixelWork, walked, &watch);
    const ScanStatus status =
        readScanlines(data.data(), static_cast<unsigned long>(data.size()), static_cast<unsigned>(factor.num),
                      static_cast<unsigned>(factor.denom), jpegColorSpace(options.format), width, height,
                      &limits, target, nullptr, &*bitmap);
    if (status != scanned)
        return errorOf(status);
    const Size size{width, height};
    return finishRows(std::move(*bitmap), size, orientation, watch);
}

ImageResult<std::vector<std::uint8_t>> encodeJPEG(const ImageView& image, int quality) {
    if (!image.valid() || image.stride > INT_MAX || image.width > 65500 || image.height > 65500)
        return ImageError::invalidArgument;
    Handle handle(tjInitCompress());
    if (!handle)
        return ImageError::tooLarge;
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const int result =
        tjCompress2(handle.get(), image.pixels, image.width, static_cast<int>(image.stride), image.height,
                    turboFormat(image.format), &output, &size, TJSAMP_420, std::clamp(quality, 1, 100), 0);
    std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(output, tjFree);
    if (result != 0 || !output)
        return ImageError::tooLarge;
    return std::vector<std::uint8_t>(output, output + size);
}

ImageResult<std::optional<std::vector<std::uint8_t>>> encodeJPEGWithin(const ImageView& image, int quality,
                                                                       std::size_t maxBytes) {
    if (!image.valid() || image.width > 65500 || image.height > 65500)
        return ImageError::invalidArgument;
    // The library's bound on its output: a limit above it never stops an encoding.
    const unsigned long bound = tjBufSize(image.width, image.height, TJSAMP_420);
    if (bound == static_cast<unsigned long>(-1))
        return ImageError::invalidArgument;
    const std::size_t limit = std::min<std::size_t>(maxBytes, bound);
    std::optional<std::vector<std::uint8_t>> jpeg;
    std::unique_ptr<LimitedDestination> destination;
    try {
        jpeg.emplace();
        // Pages of the reservation that the encoding does not reach are never touched.
        jpeg->reserve(limit);
        destination = std::make_unique<LimitedDestination>();
    } catch (const std::bad_alloc&) {
        return ImageError::tooLarge;
    }
    switch (compressWithin(image, std::clamp(quality, 1, 100), &*jpeg, limit, destination.get())) {
        case encoded:
            return jpeg;
        case pastLimit:
            return std::optional<std::vector<std::uint8_t>>();
        case encoderFailed:
            break;
    }
    return ImageError::tooLarge;
}

JPEGWalkCheck checkJPEGWalk(std::span<const std::uint8_t> data, const DecodeOptions& options) {
    JPEGWalkCheck check;
    check.walk = walkScans(data, &check.walkedStarts);
    const auto info = readJPEGInfo(data);
    if (!info) {
        check.libraryError = info.error();
        return check;
    }
    auto bitmap = info->workingBytes <= options.memoryBudget
                      ? Bitmap::create(info->width, info->height, options.format, options.maxPixels)
                      : std::nullopt;
    if (!bitmap) {
        check.libraryError = ImageError::tooLarge;
        return check;
    }
    DecodeWatch watch(options.stop,
                      options.cpuTimeLimit.count() > 0 ? options.cpuTimeLimit : jpegCPUTimeLimit);
    ScanTrace trace{&check.walkedStarts, 0, 0, 0};
    ReadLimits limits = limitsOf(options, storedPixelWork, check.walk, &watch);
    limits.trace = &trace;
    const RowTarget target = [](void* c, int y) {
        auto* b = static_cast<Bitmap*>(c);
        return b->mutablePixels() + b->stride() * static_cast<std::size_t>(y);
    };
    check.libraryRead = true;
    const ScanStatus status = readScanlines(data.data(), static_cast<unsigned long>(data.size()), 1, 1,
                                            jpegColorSpace(options.format), info->width, info->height,
                                            &limits, target, nullptr, &*bitmap);
    check.libraryScans = trace.scans;
    check.firstScanAstray = trace.firstAstray;
    if (status == scanned)
        check.libraryEnd = trace.end;
    else
        check.libraryError = errorOf(status);
    return check;
}

}  // namespace platform::imaging
