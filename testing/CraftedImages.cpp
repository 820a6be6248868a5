#include "testing/CraftedImages.h"

#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <stdexcept>
#include <string>

// After <cstdio>: the libjpeg header needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace testing_support {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- zlib streams of repeated data -------------------------------------------------------------------

// Raw deflate of `input` from an empty window, ended by a full flush: the result is the same wherever
// it stands in a stream, since it refers to nothing before it and ends on a byte boundary.
Bytes deflatePiece(const Bytes& input) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    Bytes out(deflateBound(&stream, static_cast<uLong>(input.size())) + 64);
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FULL_FLUSH);
    out.resize(out.size() - stream.avail_out);
    deflateEnd(&stream);
    if (status != Z_OK || stream.avail_in != 0)
        throw std::runtime_error("deflate failed");
    return out;
}

// A run of the same bytes, `group` repeated `repeats` times.
struct Run {
    Bytes group;
    std::size_t repeats;
};

// A zlib stream of the runs one after the other. Each group is compressed once and its code copied, so
// a stream of gigabytes costs what its groups do.
Bytes zlibOfRuns(const std::vector<Run>& runs) {
    Bytes out{0x78, 0xDA};
    uLong sum = 1;
    for (const Run& run : runs) {
        if (run.group.empty() || run.repeats == 0)
            continue;
        const Bytes code = deflatePiece(run.group);
        const uLong groupSum = adler32(1, run.group.data(), static_cast<uInt>(run.group.size()));
        for (std::size_t i = 0; i < run.repeats; ++i) {
            out.insert(out.end(), code.begin(), code.end());
            sum = adler32_combine(sum, groupSum, static_cast<z_off_t>(run.group.size()));
        }
    }
    // An empty final block with the fixed codes.
    out.insert(out.end(), {0x03, 0x00});
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(sum >> shift));
    return out;
}

// ---- PNG ---------------------------------------------------------------------------------------------

void appendUint32(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void appendChunk(Bytes& out, const char (&type)[5], const Bytes& data) {
    appendUint32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    appendUint32(out, static_cast<std::uint32_t>(
                          crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

Bytes pngSignature() {
    return {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
}

Bytes header(int side, std::uint8_t bitDepth, std::uint8_t colourType) {
    Bytes data;
    appendUint32(data, static_cast<std::uint32_t>(side));
    appendUint32(data, static_cast<std::uint32_t>(side));
    data.insert(data.end(), {bitDepth, colourType, 0, 0, 0});
    return data;
}

// `row` `count` times over, in groups of a few MiB.
void appendRows(std::vector<Run>& runs, const Bytes& row, std::size_t count) {
    const std::size_t perGroup =
        std::clamp<std::size_t>((4u << 20) / row.size(), 1, std::max<std::size_t>(count, 1));
    Bytes group;
    for (std::size_t i = 0; i < perGroup; ++i)
        group.insert(group.end(), row.begin(), row.end());
    runs.push_back({group, count / perGroup});
    group.resize(row.size() * (count % perGroup));
    runs.push_back({group, 1});
}

// The IDAT of a blank image (every sample zero) of side x side, every row with the same filter, in the
// seven passes of Adam7 when interlaced.
void appendBlankRows(Bytes& out, int side, std::size_t bytesPerPixel, std::uint8_t filter, bool interlaced) {
    struct Pass {
        int x, y, dx, dy;
    };
    static constexpr Pass whole[] = {{0, 0, 1, 1}};
    static constexpr Pass adam7[] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                     {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    std::vector<Run> runs;
    for (const Pass& pass : interlaced ? std::span<const Pass>(adam7) : std::span<const Pass>(whole)) {
        const auto count = [side](int start, int step) {
            return side > start ? static_cast<std::size_t>((side - start + step - 1) / step) : 0;
        };
        const std::size_t columns = count(pass.x, pass.dx);
        const std::size_t rows = count(pass.y, pass.dy);
        if (columns == 0 || rows == 0)
            continue;
        Bytes row(1 + columns * bytesPerPixel, 0);
        row[0] = filter;
        appendRows(runs, row, rows);
    }
    appendChunk(out, "IDAT", zlibOfRuns(runs));
}

// ---- JPEG --------------------------------------------------------------------------------------------

struct EncodeErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// Writes a flat grey image (all coefficients zero) of side x side in the two scans given: a DC scan and
// an AC scan. C only: nothing with a destructor lives in this frame, so the library's long jump leaves
// nothing behind. The output is the library's to free (free()).
bool encodeFlatGrey(int side, bool arithmetic, jpeg_scan_info* scans, unsigned char** output,
                    unsigned long* size) {
    jpeg_compress_struct info;
    EncodeErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<EncodeErrors*>(common->err)->jump, 1);
    };
    if (setjmp(errors.jump) != 0) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, output, size);
    info.image_width = static_cast<JDIMENSION>(side);
    info.image_height = static_cast<JDIMENSION>(side);
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    info.arith_code = arithmetic ? TRUE : FALSE;
    info.scan_info = scans;
    info.num_scans = 2;
    const JDIMENSION blocks = static_cast<JDIMENSION>((side + 7) / 8);
    // Zeroed as the encoder reads it: no coefficient is ever written.
    jvirt_barray_ptr coefficients[1] = {(*info.mem->request_virt_barray)(
        reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE, TRUE, blocks, blocks, 1)};
    jpeg_write_coefficients(&info, coefficients);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

std::size_t segmentEnd(const Bytes& jpeg, std::size_t marker) {
    if (marker + 4 > jpeg.size())
        throw std::runtime_error("JPEG segment cut short");
    return marker + 2 + (static_cast<std::size_t>(jpeg[marker + 2]) << 8 | jpeg[marker + 3]);
}

// Where the entropy-coded data that starts at `from` ends: at the first marker other than a stuffed
// zero or a restart.
std::size_t entropyEnd(const Bytes& jpeg, std::size_t from) {
    for (std::size_t i = from; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] != 0x00 && (jpeg[i + 1] < 0xD0 || jpeg[i + 1] > 0xD7))
            return i;
    throw std::runtime_error("JPEG scan without an end");
}

struct ScanParts {
    std::size_t start;      // its tables (if any) and SOS marker
    std::size_t sos;        // its SOS marker
    std::size_t dataStart;  // its entropy-coded data
    std::size_t dataEnd;
};

std::vector<ScanParts> splitScans(const Bytes& jpeg) {
    std::vector<ScanParts> scans;
    std::size_t pos = 2;
    std::size_t tables = pos;
    while (pos + 1 < jpeg.size() && jpeg[pos] == 0xFF && jpeg[pos + 1] != 0xD9) {
        if (jpeg[pos + 1] == 0xDA) {
            const std::size_t dataStart = segmentEnd(jpeg, pos);
            const std::size_t dataEnd = entropyEnd(jpeg, dataStart);
            scans.push_back({tables, pos, dataStart, dataEnd});
            pos = tables = dataEnd;
        } else {
            pos = segmentEnd(jpeg, pos);
        }
    }
    return scans;
}

// The AC scans after the DC scan: 63 bands at most, each coded in a first scan of its top bits and one
// refinement for each bit below, as many as make up `count`.
std::vector<jpeg_scan_info> acScript(int count) {
    std::vector<jpeg_scan_info> script;
    const int bands = std::min(63, count);
    for (int band = 0; band < bands; ++band) {
        const int first = 1 + band * 63 / bands;
        const int last = (band + 1) * 63 / bands;
        const int inBand = count / bands + (band < count % bands ? 1 : 0);
        for (int bit = inBand - 1; bit >= 0; --bit) {
            jpeg_scan_info scan{};
            scan.comps_in_scan = 1;
            scan.component_index[0] = 0;
            scan.Ss = first;
            scan.Se = last;
            scan.Ah = bit == inBand - 1 ? 0 : bit + 1;
            scan.Al = bit;
            script.push_back(scan);
        }
    }
    return script;
}

}  // namespace

std::vector<std::uint8_t> manyScanGreyJPEG(int side, int scans, bool arithmetic) {
    // A band's coefficients have at most 14 bits for a decoder to refine, one a scan.
    if (side < 1 || side > 65500 || scans < 1 || scans > 1 + 63 * 14)
        throw std::invalid_argument("manyScanGreyJPEG: side or scan count out of range");
    // With every coefficient zero, each AC scan codes the same run of empty blocks whatever its band and
    // bits: the library writes the DC scan and one AC scan, and that scan's tables and data are copied
    // under the headers of all the others.
    jpeg_scan_info two[2]{};
    two[0].comps_in_scan = 1;
    two[1].comps_in_scan = 1;
    two[1].Ss = 1;
    two[1].Se = 63;
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const bool encoded = encodeFlatGrey(side, arithmetic, two, &output, &size);
    const Bytes written(output, output + (encoded ? size : 0));
    std::free(output);
    if (!encoded)
        throw std::runtime_error("manyScanGreyJPEG: the library could not encode");
    const std::vector<ScanParts> parts = splitScans(written);
    if (parts.size() != 2)
        throw std::runtime_error("manyScanGreyJPEG: not the two scans written");
    const ScanParts& ac = parts[1];
    Bytes jpeg(written.begin(), written.begin() + static_cast<std::ptrdiff_t>(ac.start));
    for (const jpeg_scan_info& scan : acScript(scans - 1)) {
        const std::size_t header = jpeg.size() + (ac.sos - ac.start);
        jpeg.insert(jpeg.end(), written.begin() + static_cast<std::ptrdiff_t>(ac.start),
                    written.begin() + static_cast<std::ptrdiff_t>(ac.dataEnd));
        // SOS: marker, length, one component and its tables, then the band and its bits.
        jpeg[header + 7] = static_cast<std::uint8_t>(scan.Ss);
        jpeg[header + 8] = static_cast<std::uint8_t>(scan.Se);
        jpeg[header + 9] = static_cast<std::uint8_t>(scan.Ah << 4 | scan.Al);
    }
    jpeg.insert(jpeg.end(), {0xFF, 0xD9});
    return jpeg;
}

std::vector<std::uint8_t> textChunkPNG(int side, int chunks, std::size_t inflatedBytesEach) {
    if (side < 1 || side > 16384 || chunks < 0)
        throw std::invalid_argument("textChunkPNG: side or chunk count out of range");
    Bytes png = pngSignature();
    appendChunk(png, "IHDR", header(side, 8, 6));
    if (chunks > 0) {
        Bytes text{'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 0};  // keyword, its end, deflate
        // Compressed once for all the chunks, in one piece as a writer would.
        const Bytes code = zlibOfRuns({{Bytes(inflatedBytesEach, 'a'), 1}});
        text.insert(text.end(), code.begin(), code.end());
        for (int i = 0; i < chunks; ++i)
            appendChunk(png, "zTXt", text);
    }
    // Opaque, red across and green down: each pixel tells where it is.
    const std::size_t rowBytes = 1 + static_cast<std::size_t>(side) * 4;
    Bytes rows(rowBytes * static_cast<std::size_t>(side));
    for (int y = 0; y < side; ++y) {
        std::uint8_t* row = rows.data() + rowBytes * static_cast<std::size_t>(y);
        row[0] = 0;  // no filter
        for (int x = 0; x < side; ++x) {
            std::uint8_t* pixel = row + 1 + static_cast<std::size_t>(x) * 4;
            pixel[0] = static_cast<std::uint8_t>(x * 255 / side);
            pixel[1] = static_cast<std::uint8_t>(y * 255 / side);
            pixel[2] = 128;
            pixel[3] = 255;
        }
    }
    appendChunk(png, "IDAT", zlibOfRuns({{rows, 1}}));
    appendChunk(png, "IEND", {});
    return png;
}

std::vector<std::uint8_t> paethRGBA16PNG(int side) {
    if (side < 1 || side > 100000)
        throw std::invalid_argument("paethRGBA16PNG: side out of range");
    Bytes png = pngSignature();
    appendChunk(png, "IHDR", header(side, 16, 6));
    appendBlankRows(png, side, 8, 4, false);
    appendChunk(png, "IEND", {});
    return png;
}

std::vector<std::uint8_t> interlacedPaethRGBA16PNG(int side) {
    if (side < 1 || side > 100000)
        throw std::invalid_argument("interlacedPaethRGBA16PNG: side out of range");
    Bytes png = pngSignature();
    Bytes ihdr = header(side, 16, 6);
    ihdr.back() = 1;  // Adam7
    appendChunk(png, "IHDR", ihdr);
    appendBlankRows(png, side, 8, 4, true);
    appendChunk(png, "IEND", {});
    return png;
}

}  // namespace testing_support
