#include "testing/CraftedImages.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
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

// A zlib stream at the default level, written a piece at a time as a PNG writer writes its rows.
class ZlibWriter {
  public:
    ZlibWriter() {
        if (deflateInit(&stream_, Z_DEFAULT_COMPRESSION) != Z_OK)
            throw std::runtime_error("deflateInit failed");
    }
    ~ZlibWriter() { deflateEnd(&stream_); }
    ZlibWriter(const ZlibWriter&) = delete;
    ZlibWriter& operator=(const ZlibWriter&) = delete;

    void write(const Bytes& input) { feed(input, Z_NO_FLUSH); }
    Bytes finish() {
        feed({}, Z_FINISH);
        return std::move(out_);
    }

  private:
    void feed(const Bytes& input, int flush) {
        stream_.next_in = const_cast<Bytef*>(input.data());
        stream_.avail_in = static_cast<uInt>(input.size());
        int status = Z_OK;
        do {
            stream_.next_out = buffer_.data();
            stream_.avail_out = static_cast<uInt>(buffer_.size());
            status = deflate(&stream_, flush);
            out_.insert(out_.end(), buffer_.begin(), buffer_.end() - stream_.avail_out);
        } while (stream_.avail_out == 0 || (flush == Z_FINISH && status == Z_OK));
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
            throw std::runtime_error("deflate failed");
    }

    z_stream stream_{};
    Bytes buffer_ = Bytes(1 << 20);
    Bytes out_;
};

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
    appendUint32(
        out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
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

// The columns and rows of each pass over a width x height image: one pass, or the seven of Adam7.
std::vector<std::pair<std::size_t, std::size_t>> passSizes(int width, int height, bool interlaced) {
    struct Pass {
        int x, y, dx, dy;
    };
    static constexpr Pass whole[] = {{0, 0, 1, 1}};
    static constexpr Pass adam7[] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                     {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
    const auto count = [](int size, int start, int step) {
        return size > start ? static_cast<std::size_t>((size - start + step - 1) / step) : 0;
    };
    std::vector<std::pair<std::size_t, std::size_t>> sizes;
    for (const Pass& pass : interlaced ? std::span<const Pass>(adam7) : std::span<const Pass>(whole)) {
        const std::size_t columns = count(width, pass.x, pass.dx);
        const std::size_t rows = count(height, pass.y, pass.dy);
        if (columns > 0 && rows > 0)
            sizes.emplace_back(columns, rows);
    }
    return sizes;
}

// The IDAT of a blank image (every sample zero) of side x side, every row with the same filter, in the
// seven passes of Adam7 when interlaced.
void appendBlankRows(Bytes& out, int side, std::size_t bytesPerPixel, std::uint8_t filter, bool interlaced) {
    std::vector<Run> runs;
    for (const auto& [columns, rows] : passSizes(side, side, interlaced)) {
        Bytes row(1 + columns * bytesPerPixel, 0);
        row[0] = filter;
        appendRows(runs, row, rows);
    }
    appendChunk(out, "IDAT", zlibOfRuns(runs));
}

// Noise in rows repeats after this many bytes: whatever the rows' length, every byte after the first row
// then has a copy within twice this distance before it, inside a deflate stream's window.
constexpr std::size_t rowPeriod = 16000;

// Random-looking bytes, the same on every call.
Bytes noiseBytes(std::size_t count) {
    Bytes bytes(count);
    std::uint32_t state = 12345;
    for (std::uint8_t& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

// ---- JPEG --------------------------------------------------------------------------------------------

struct EncodeErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// Sets the coefficients of block `index` (counted across, then down), in the library's natural order;
// the block is zero when called.
using BlockFill = void (*)(JCOEF* block, std::size_t index);

// Writes a grey image of side x side in the scans given (none: one sequential scan), every coefficient
// zero or as `fill` (when given) sets it. C only: nothing with a destructor lives in this frame, so the
// library's long jump leaves nothing behind. The output is the library's to free (free()).
bool encodeGrey(int side, bool arithmetic, jpeg_scan_info* scans, int scanCount, BlockFill fill,
                unsigned char** output, unsigned long* size, bool optimalHuffman = false) {
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
    info.optimize_coding = optimalHuffman ? TRUE : FALSE;
    if (scanCount > 0) {
        info.scan_info = scans;
        info.num_scans = scanCount;
    }
    const JDIMENSION blocks = static_cast<JDIMENSION>((side + 7) / 8);
    // Zeroed as the encoder reads it.
    jvirt_barray_ptr coefficients[1] = {(*info.mem->request_virt_barray)(
        reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE, TRUE, blocks, blocks, 1)};
    jpeg_write_coefficients(&info, coefficients);
    for (JDIMENSION row = 0; fill && row < blocks; ++row) {
        JBLOCKARRAY rows = (*info.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&info),
                                                           coefficients[0], row, 1, TRUE);
        for (JDIMENSION column = 0; column < blocks; ++column)
            fill(rows[0][column], static_cast<std::size_t>(row) * blocks + column);
    }
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

// An arithmetic-coded grey image of side x side in the scans given (none: one sequential scan), as the
// library writes it.
Bytes arithmeticGrey(int side, std::vector<jpeg_scan_info> scans, BlockFill fill) {
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const bool encoded =
        encodeGrey(side, true, scans.data(), static_cast<int>(scans.size()), fill, &output, &size);
    const Bytes written(output, output + (encoded ? size : 0));
    std::free(output);
    if (!encoded)
        throw std::runtime_error("arithmetic JPEG: the library could not encode");
    return written;
}

// The JPEG with its scan `index` written `times` times over, where the library wrote it once: the
// decoder reads each copy as a scan of its own, with the tables that came before the first.
Bytes withScanRepeated(const Bytes& jpeg, std::size_t index, int times) {
    const std::vector<ScanParts> parts = splitScans(jpeg);
    if (index >= parts.size() || times < 1)
        throw std::runtime_error("JPEG: no such scan");
    const ScanParts& scan = parts[index];
    const auto at = [&](std::size_t offset) { return jpeg.begin() + static_cast<std::ptrdiff_t>(offset); };
    Bytes out(jpeg.begin(), at(scan.dataEnd));
    out.reserve(jpeg.size() + (scan.dataEnd - scan.sos) * static_cast<std::size_t>(times - 1));
    for (int i = 1; i < times; ++i)
        out.insert(out.end(), at(scan.sos), at(scan.dataEnd));
    out.insert(out.end(), at(scan.dataEnd), jpeg.end());
    return out;
}

jpeg_scan_info greyScan(int Ss, int Se) {
    jpeg_scan_info scan{};
    scan.comps_in_scan = 1;
    scan.Ss = Ss;
    scan.Se = Se;
    return scan;
}

// ---- Deflate blocks that decode to nothing -------------------------------------------------------------

// Bits as deflate packs them, from the lowest of each byte.
class BitWriter {
  public:
    void bits(std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i)
            bit((value >> i) & 1);
    }
    // A Huffman code, which deflate packs from its highest bit.
    void code(std::uint32_t value, int length) {
        for (int i = length - 1; i >= 0; --i)
            bit((value >> i) & 1);
    }
    void align() {
        while (used_ != 0)
            bit(0);
    }
    std::size_t size() const { return bytes_.size(); }
    bool aligned() const { return used_ == 0; }
    const Bytes& bytes() const { return bytes_; }

  private:
    void bit(std::uint32_t value) {
        if (used_ == 0)
            bytes_.push_back(0);
        bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | value << used_);
        used_ = (used_ + 1) % 8;
    }
    Bytes bytes_;
    int used_ = 0;
};

// The canonical Huffman codes of the lengths (0: no code), as deflate assigns them.
std::vector<std::uint32_t> canonicalCodes(const std::vector<int>& lengths) {
    int count[16] = {};
    for (const int length : lengths)
        ++count[length];
    count[0] = 0;
    std::uint32_t next[16] = {};
    std::uint32_t code = 0;
    for (int bits = 1; bits < 16; ++bits) {
        code = (code + static_cast<std::uint32_t>(count[bits - 1])) << 1;
        next[bits] = code;
    }
    std::vector<std::uint32_t> codes(lengths.size());
    for (std::size_t i = 0; i < lengths.size(); ++i)
        if (lengths[i] != 0)
            codes[i] = next[lengths[i]]++;
    return codes;
}

// An empty non-final block with dynamic codes: the lengths of the code-length code by symbol, and the
// code-length symbols (with their extra bits) that give every literal/length and distance code's length.
struct CodeLengthSymbol {
    int symbol;
    int extra;  // the repeat count's extra bits (16: 2, 17: 3, 18: 7)
};

void emptyDynamicBlock(BitWriter& out, int literalCodes, int distanceCodes,
                       const std::vector<int>& codeLengthLengths,
                       const std::vector<CodeLengthSymbol>& symbols, const std::vector<int>& literalLengths) {
    static constexpr int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int stored = 4;
    for (int i = 0; i < 19; ++i)
        if (codeLengthLengths[static_cast<std::size_t>(order[i])] != 0)
            stored = std::max(stored, i + 1);
    out.bits(0, 1);  // not the last block
    out.bits(2, 2);  // dynamic codes
    out.bits(static_cast<std::uint32_t>(literalCodes - 257), 5);
    out.bits(static_cast<std::uint32_t>(distanceCodes - 1), 5);
    out.bits(static_cast<std::uint32_t>(stored - 4), 4);
    for (int i = 0; i < stored; ++i)
        out.bits(static_cast<std::uint32_t>(codeLengthLengths[static_cast<std::size_t>(order[i])]), 3);
    const std::vector<std::uint32_t> codeLengthCodes = canonicalCodes(codeLengthLengths);
    for (const CodeLengthSymbol& s : symbols) {
        const auto symbol = static_cast<std::size_t>(s.symbol);
        out.code(codeLengthCodes[symbol], codeLengthLengths[symbol]);
        if (s.symbol == 16)
            out.bits(static_cast<std::uint32_t>(s.extra), 2);
        else if (s.symbol == 17)
            out.bits(static_cast<std::uint32_t>(s.extra), 3);
        else if (s.symbol == 18)
            out.bits(static_cast<std::uint32_t>(s.extra), 7);
    }
    // The end of the block, and nothing before it.
    out.code(canonicalCodes(literalLengths)[256], literalLengths[256]);
}

// `length` written once and then `count` - 1 times more by repeats of the one before.
void appendRepeated(std::vector<CodeLengthSymbol>& symbols, int length, int count) {
    symbols.push_back({length, 0});
    for (int left = count - 1; left > 0;) {
        const int now = std::min(left, 6);
        if (now < 3) {
            for (int i = 0; i < now; ++i)
                symbols.push_back({length, 0});
        } else {
            symbols.push_back({16, now - 3});
        }
        left -= now;
    }
}

void appendPadding(BitWriter& out, DeflatePadding padding) {
    switch (padding) {
        case DeflatePadding::fullDynamic: {
            // 286 literal/length codes of 8 and 9 bits, 30 distance codes of 4 and 5: complete codes,
            // whose tables the decoder builds in full.
            std::vector<int> literal(286, 8);
            std::fill(literal.begin() + 226, literal.end(), 9);
            std::vector<CodeLengthSymbol> symbols;
            appendRepeated(symbols, 8, 226);
            appendRepeated(symbols, 9, 60);
            symbols.push_back({4, 0});
            appendRepeated(symbols, 4, 1);
            appendRepeated(symbols, 5, 28);
            std::vector<int> codeLengths(19, 0);
            codeLengths[16] = codeLengths[8] = codeLengths[5] = 2;
            codeLengths[9] = codeLengths[4] = 3;
            emptyDynamicBlock(out, 286, 30, codeLengths, symbols, literal);
            break;
        }
        case DeflatePadding::minimalDynamic: {
            // The end-of-block code alone, of one bit, and no distance code.
            std::vector<int> literal(257, 0);
            literal[256] = 1;
            std::vector<int> codeLengths(19, 0);
            codeLengths[18] = 1;
            codeLengths[1] = codeLengths[0] = 2;
            emptyDynamicBlock(out, 257, 1, codeLengths, {{18, 127}, {18, 107}, {1, 0}, {0, 0}}, literal);
            break;
        }
        case DeflatePadding::fixed:
            out.bits(0, 1);
            out.bits(1, 2);
            out.code(0, 7);
            break;
        case DeflatePadding::stored:
            out.bits(0, 3);
            out.align();
            out.bits(0, 16);
            out.bits(0xFFFF, 16);
            break;
    }
}

}  // namespace

std::vector<std::uint8_t> paddedPNG(const std::vector<std::uint8_t>& png, std::size_t bytes,
                                    DeflatePadding padding, PaddingPlace place) {
    if (png.size() < 8)
        throw std::invalid_argument("paddedPNG: not a PNG");
    Bytes before(png.begin(), png.begin() + 8);
    Bytes after;
    Bytes stream;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::size_t length =
            static_cast<std::size_t>(png[at]) << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3];
        if (at + 12 + length > png.size())
            throw std::invalid_argument("paddedPNG: a chunk cut short");
        const auto chunk = png.begin() + static_cast<std::ptrdiff_t>(at);
        const auto end = chunk + static_cast<std::ptrdiff_t>(12 + length);
        Bytes& into = std::equal(chunk + 4, chunk + 8, "IDAT") ? stream : stream.empty() ? before : after;
        into.insert(into.end(), &into == &stream ? chunk + 8 : chunk, &into == &stream ? end - 4 : end);
        at += 12 + length;
    }
    if (stream.size() < 2)
        throw std::invalid_argument("paddedPNG: no pixels");
    // Blocks written until they end on a byte, and that run copied over.
    BitWriter unit;
    do
        appendPadding(unit, padding);
    while (!unit.aligned());
    // An empty stored block ends the padding on a byte, where the stream's own blocks start.
    BitWriter end;
    appendPadding(end, DeflatePadding::stored);
    Bytes idat(stream.begin(), stream.begin() + 2);
    idat.reserve(bytes + unit.size() + stream.size() + end.size());
    const auto pad = [&] {
        for (const std::size_t start = idat.size(); idat.size() - start < bytes;)
            idat.insert(idat.end(), unit.bytes().begin(), unit.bytes().end());
    };
    if (place == PaddingPlace::beforeRows) {
        pad();
        idat.insert(idat.end(), end.bytes().begin(), end.bytes().end());
        idat.insert(idat.end(), stream.begin() + 2, stream.end());
    } else {
        // The rows coded again in two halves, from blocks none of which is the last, with the padding
        // between them; then an empty stored block that is the last, and the rows' checksum.
        Bytes rows;
        z_stream inflating{};
        if (inflateInit(&inflating) != Z_OK)
            throw std::runtime_error("inflateInit failed");
        inflating.next_in = stream.data();
        inflating.avail_in = static_cast<uInt>(stream.size());
        int status = Z_OK;
        while (status == Z_OK) {
            std::uint8_t piece[65536];
            inflating.next_out = piece;
            inflating.avail_out = sizeof piece;
            status = inflate(&inflating, Z_NO_FLUSH);
            rows.insert(rows.end(), piece, piece + (sizeof piece - inflating.avail_out));
        }
        inflateEnd(&inflating);
        if (status != Z_STREAM_END)
            throw std::invalid_argument("paddedPNG: broken pixels");
        const auto half = rows.begin() + static_cast<std::ptrdiff_t>(rows.size() / 2);
        const Bytes first = deflatePiece(Bytes(rows.begin(), half));
        const Bytes second = deflatePiece(Bytes(half, rows.end()));
        idat.insert(idat.end(), first.begin(), first.end());
        pad();
        idat.insert(idat.end(), second.begin(), second.end());
        idat.insert(idat.end(), {0x01, 0x00, 0x00, 0xFF, 0xFF});
        appendUint32(idat,
                     static_cast<std::uint32_t>(adler32(1, rows.data(), static_cast<uInt>(rows.size()))));
    }
    appendChunk(before, "IDAT", idat);
    before.insert(before.end(), after.begin(), after.end());
    return before;
}

std::vector<std::uint8_t> oneBitDCScanJPEG(int side, int scans) {
    if (side < 1 || side > 65500 || scans < 1)
        throw std::invalid_argument("oneBitDCScanJPEG: side out of range");
    // Every block's DC the same as the one before: with the code made for the scan, a difference of
    // nothing takes one bit.
    jpeg_scan_info dc = greyScan(0, 0);
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const bool encoded = encodeGrey(side, false, &dc, 1, nullptr, &output, &size, true);
    const Bytes written(output, output + (encoded ? size : 0));
    std::free(output);
    if (!encoded)
        throw std::runtime_error("oneBitDCScanJPEG: the library could not encode");
    return withScanRepeated(written, 0, scans);
}

std::vector<std::uint8_t> allACHuffmanJPEG(int side) {
    if (side < 1 || side > 65500)
        throw std::invalid_argument("allACHuffmanJPEG: side out of range");
    const BlockFill every = [](JCOEF* block, std::size_t) {
        for (int k = 1; k < DCTSIZE2; ++k)
            block[k] = 1;
    };
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const bool encoded = encodeGrey(side, false, nullptr, 0, every, &output, &size, true);
    const Bytes written(output, output + (encoded ? size : 0));
    std::free(output);
    if (!encoded)
        throw std::runtime_error("allACHuffmanJPEG: the library could not encode");
    return written;
}

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
    const bool encoded = encodeGrey(side, arithmetic, two, 2, nullptr, &output, &size);
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

std::vector<std::uint8_t> repeatedDCScanJPEG(int side, int scans) {
    if (side < 1 || side > 65500 || scans < 1)
        throw std::invalid_argument("repeatedDCScanJPEG: side or scan count out of range");
    // Each difference from the block before is 32768, the largest the coding takes.
    const BlockFill alternating = [](JCOEF* block, std::size_t index) {
        block[0] = static_cast<JCOEF>(index % 2 == 0 ? 16384 : -16384);
    };
    return withScanRepeated(arithmeticGrey(side, {greyScan(0, 0)}, alternating), 0, scans);
}

std::vector<std::uint8_t> zeroRunACScanJPEG(int side, int scans) {
    if (side < 1 || side > 65500 || scans < 2)
        throw std::invalid_argument("zeroRunACScanJPEG: side or scan count out of range");
    // The last coefficient in zig-zag order is also the last in natural order.
    const BlockFill last = [](JCOEF* block, std::size_t) { block[DCTSIZE2 - 1] = 16384; };
    return withScanRepeated(arithmeticGrey(side, {greyScan(0, 0), greyScan(1, 63)}, last), 1, scans - 1);
}

std::vector<std::uint8_t> allACSequentialJPEG(int side) {
    if (side < 1 || side > 65500)
        throw std::invalid_argument("allACSequentialJPEG: side out of range");
    const BlockFill every = [](JCOEF* block, std::size_t) {
        for (int k = 1; k < DCTSIZE2; ++k)
            block[k] = 16384;
    };
    return arithmeticGrey(side, {}, every);
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

std::vector<std::uint8_t> paethNoisePNG(const PNGShape& shape) {
    static constexpr int channelsOf[] = {1, 0, 3, 1, 2, 0, 4};
    const int type = shape.colourType;
    const int depth = shape.bitDepth;
    const bool knownType = type >= 0 && type <= 6 && channelsOf[type] != 0;
    const bool knownDepth =
        (depth == 8 || depth == 16) || ((type == 0 || type == 3) && (depth == 1 || depth == 2 || depth == 4));
    if (shape.width < 1 || shape.height < 1 || shape.width > (1 << 20) || shape.height > (1 << 20) ||
        !knownType || !knownDepth || (type == 3 && depth == 16) ||
        (shape.transparency && (type == 4 || type == 6)))
        throw std::invalid_argument("paethNoisePNG: not a PNG's shape");
    Bytes png = pngSignature();
    Bytes ihdr;
    appendUint32(ihdr, static_cast<std::uint32_t>(shape.width));
    appendUint32(ihdr, static_cast<std::uint32_t>(shape.height));
    ihdr.insert(ihdr.end(), {static_cast<std::uint8_t>(depth), static_cast<std::uint8_t>(type), 0, 0,
                             static_cast<std::uint8_t>(shape.interlaced ? 1 : 0)});
    appendChunk(png, "IHDR", ihdr);
    const Bytes noise = noiseBytes(rowPeriod);
    if (type == 3) {
        const std::size_t entries = std::size_t{1} << depth;
        appendChunk(png, "PLTE",
                    Bytes(noise.begin(), noise.begin() + static_cast<std::ptrdiff_t>(3 * entries)));
        if (shape.transparency)
            appendChunk(png, "tRNS",
                        Bytes(noise.begin(), noise.begin() + static_cast<std::ptrdiff_t>(entries)));
    } else if (shape.transparency) {
        // A sample value of every channel, the same in each: 0x2A2A in 16 bits, 1 in 1.
        const std::uint8_t low = static_cast<std::uint8_t>(depth >= 8 ? 0x2A : 1);
        Bytes value;
        for (int c = 0; c < channelsOf[type]; ++c)
            value.insert(value.end(), {static_cast<std::uint8_t>(depth == 16 ? 0x2A : 0), low});
        appendChunk(png, "tRNS", value);
    }
    ZlibWriter idat;
    const std::uint64_t bitsPerPixel =
        static_cast<std::uint64_t>(channelsOf[type]) * static_cast<unsigned>(depth);
    for (const auto& [columns, rows] : passSizes(shape.width, shape.height, shape.interlaced)) {
        Bytes row(1 + (columns * bitsPerPixel + 7) / 8);
        row[0] = 4;  // Paeth
        for (std::size_t i = 1; i < row.size(); ++i)
            row[i] = noise[(i - 1) % rowPeriod];
        for (std::size_t y = 0; y < rows; ++y)
            idat.write(row);
    }
    appendChunk(png, "IDAT", idat.finish());
    appendChunk(png, "IEND", {});
    return png;
}

std::vector<std::uint8_t> photographPNG(int width, int height, int bitDepth, int grain) {
    if (width < 1 || height < 1 || width > (1 << 16) || height > (1 << 16) ||
        (bitDepth != 8 && bitDepth != 16) || grain < 0 || grain > 4096)
        throw std::invalid_argument("photographPNG: not a photograph's shape");
    Bytes png = pngSignature();
    Bytes ihdr;
    appendUint32(ihdr, static_cast<std::uint32_t>(width));
    appendUint32(ihdr, static_cast<std::uint32_t>(height));
    ihdr.insert(ihdr.end(), {static_cast<std::uint8_t>(bitDepth), 6, 0, 0, 0});
    appendChunk(png, "IHDR", ihdr);
    // Broad shading of each channel, as the product of a wave across and one down, and a diagonal wave.
    std::vector<double> across(static_cast<std::size_t>(width) * 3);
    std::vector<double> down(static_cast<std::size_t>(height) * 3);
    std::vector<double> diagonal(static_cast<std::size_t>(width) + static_cast<std::size_t>(height));
    for (int c = 0; c < 3; ++c) {
        for (int x = 0; x < width; ++x)
            across[static_cast<std::size_t>(x) * 3 + c] = std::sin(x * 0.013 + c);
        for (int y = 0; y < height; ++y)
            down[static_cast<std::size_t>(y) * 3 + c] = std::cos(y * 0.011 - c);
    }
    for (std::size_t i = 0; i < diagonal.size(); ++i)
        diagonal[i] = 30 * std::sin(static_cast<double>(i) * 0.05);
    const int bytesPerSample = bitDepth / 8;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 4 * bytesPerSample;
    Bytes previous(rowBytes), current(rowBytes), filtered(1 + rowBytes);
    ZlibWriter idat;
    std::uint32_t random = 12345;
    const int full = bitDepth == 16 ? 65535 : 255;
    const double scale = bitDepth == 16 ? 257.0 : 1.0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const bool edge = (x / 211 + y / 173) % 2 != 0;
            for (int c = 0; c < 4; ++c) {
                int value = full;
                if (c < 3) {
                    random = random * 1664525u + 1013904223u;
                    const double shade = 128 +
                                         60 * across[static_cast<std::size_t>(x) * 3 + c] *
                                             down[static_cast<std::size_t>(y) * 3 + c] +
                                         diagonal[static_cast<std::size_t>(x + y)] + (edge ? 25 : 0);
                    const int noise = static_cast<int>((random >> 16) % (2 * grain + 1)) - grain;
                    value = std::clamp(static_cast<int>(std::lround(shade * scale + noise / 16.0)), 0, full);
                }
                const std::size_t at = (static_cast<std::size_t>(x) * 4 + c) * bytesPerSample;
                if (bytesPerSample == 2) {
                    current[at] = static_cast<std::uint8_t>(value >> 8);
                    current[at + 1] = static_cast<std::uint8_t>(value);
                } else {
                    current[at] = static_cast<std::uint8_t>(value);
                }
            }
        }
        // Paeth, the slowest filter to undo, on every row.
        const std::size_t left = 4 * static_cast<std::size_t>(bytesPerSample);
        filtered[0] = 4;
        for (std::size_t i = 0; i < rowBytes; ++i) {
            const int a = i >= left ? current[i - left] : 0;
            const int b = y > 0 ? previous[i] : 0;
            const int c = i >= left && y > 0 ? previous[i - left] : 0;
            const int p = a + b - c;
            const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            const int predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            filtered[1 + i] = static_cast<std::uint8_t>(current[i] - predicted);
        }
        idat.write(filtered);
        std::swap(previous, current);
    }
    appendChunk(png, "IDAT", idat.finish());
    appendChunk(png, "IEND", {});
    return png;
}

}  // namespace testing_support
