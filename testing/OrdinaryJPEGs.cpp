#include "testing/OrdinaryJPEGs.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

// After <cstdio>: the libjpeg header needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace testing_support {
namespace {

using Bytes = std::vector<std::uint8_t>;

enum class Coding { baseline, progressive, componentScans };

struct Shape {
    int width;
    int height;
    bool grey;
    bool subsampled;  // 4:2:0, else 4:4:4
    Coding coding;
    int restartRows;  // 0: no restart markers
    bool jfif;        // a JFIF header, else none (a camera's file)
};

// A segment written after the JFIF header (when there is one): its marker code and its bytes.
struct Segment {
    int marker;
    const Bytes* bytes;
};

// Broad shading, edges and grain: RGB, or grey when `channels` is 1.
Bytes photograph(int width, int height, int channels) {
    Bytes samples(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                  static_cast<std::size_t>(channels));
    std::uint32_t grain = 7;
    std::size_t i = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) {
                grain = grain * 1664525u + 1013904223u;
                double value = 128 + 70 * std::sin(x * 0.09 + c) * std::cos(y * 0.07 - c);
                if ((x / 23 + y / 17) % 2 != 0)
                    value += 40;
                value += static_cast<int>((grain >> 24) % 41) - 20;
                samples[i++] = static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
            }
    return samples;
}

struct EncodeErrors {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

// C only: nothing with a destructor lives in this frame, so the library's long jump leaves nothing
// behind. The output is the library's to free (free()).
bool encode(const Shape* shape, const std::uint8_t* samples, const Segment* segments, int segmentCount,
            unsigned char** output, unsigned long* size) {
    jpeg_compress_struct info;
    EncodeErrors errors;
    jpeg_scan_info componentScans[3];
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
    info.image_width = static_cast<JDIMENSION>(shape->width);
    info.image_height = static_cast<JDIMENSION>(shape->height);
    info.input_components = shape->grey ? 1 : 3;
    info.in_color_space = shape->grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 85, TRUE);
    if (!shape->grey && !shape->subsampled)
        info.comp_info[0].h_samp_factor = info.comp_info[0].v_samp_factor = 1;
    info.write_JFIF_header = shape->jfif ? TRUE : FALSE;
    info.restart_in_rows = shape->restartRows;
    if (shape->coding == Coding::progressive)
        jpeg_simple_progression(&info);
    if (shape->coding == Coding::componentScans) {
        for (int c = 0; c < info.num_components; ++c)
            componentScans[c] = {1, {c, 0, 0, 0}, 0, 63, 0, 0};
        info.scan_info = componentScans;
        info.num_scans = info.num_components;
    }
    jpeg_start_compress(&info, TRUE);
    for (int i = 0; i < segmentCount; ++i)
        jpeg_write_marker(&info, segments[i].marker, segments[i].bytes->data(),
                          static_cast<unsigned>(segments[i].bytes->size()));
    const std::size_t stride =
        static_cast<std::size_t>(shape->width) * static_cast<std::size_t>(info.input_components);
    while (info.next_scanline < info.image_height) {
        // The library only reads the row.
        JSAMPROW rows[1] = {const_cast<JSAMPROW>(samples + stride * info.next_scanline)};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

Bytes written(const Shape& shape, const std::vector<Segment>& segments) {
    const Bytes samples = photograph(shape.width, shape.height, shape.grey ? 1 : 3);
    unsigned char* output = nullptr;
    unsigned long size = 0;
    const bool encoded =
        encode(&shape, samples.data(), segments.data(), static_cast<int>(segments.size()), &output, &size);
    const Bytes jpeg(output, output + (encoded ? size : 0));
    std::free(output);
    if (!encoded)
        throw std::runtime_error("ordinaryJPEGs: the library could not encode");
    return jpeg;
}

void append16(Bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void append32(Bytes& out, std::uint32_t value) {
    append16(out, value >> 16);
    append16(out, value & 0xFFFF);
}

// An IFD entry of one value (big-endian TIFF): tag, type, count 1, value.
void appendEntry(Bytes& out, unsigned tag, unsigned type, std::uint32_t value) {
    append16(out, tag);
    append16(out, type);
    append32(out, 1);
    if (type == 3) {  // SHORT: left-justified in the value's four bytes
        append16(out, value);
        append16(out, 0);
    } else {
        append32(out, value);
    }
}

// EXIF as a camera writes it: the orientation (upright) in the first IFD, and a JPEG thumbnail in the
// second, itself a whole JPEG with its own markers inside the segment.
Bytes exif(const Bytes& thumbnail) {
    Bytes tiff;
    tiff.reserve(64 + thumbnail.size());
    tiff.insert(tiff.end(), {'E', 'x', 'i', 'f', 0, 0});
    // Offsets count from the TIFF header, after the six bytes above.
    tiff.insert(tiff.end(), {'M', 'M', 0, 42});
    append32(tiff, 8);
    append16(tiff, 1);
    appendEntry(tiff, 0x0112, 3, 1);
    append32(tiff, 8 + 2 + 12 + 4);  // the second IFD, right after the first
    append16(tiff, 2);
    const std::uint32_t thumbnailAt = 8 + 2 + 12 + 4 + 2 + 2 * 12 + 4;
    appendEntry(tiff, 0x0201, 4, thumbnailAt);
    appendEntry(tiff, 0x0202, 4, static_cast<std::uint32_t>(thumbnail.size()));
    append32(tiff, 0);
    tiff.insert(tiff.end(), thumbnail.begin(), thumbnail.end());
    return tiff;
}

// An ICC profile's segment, one chunk of one: its bytes need only look like a profile's, FF among them.
Bytes iccProfile() {
    Bytes segment{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
    for (int i = 0; i < 300; ++i)
        segment.push_back(static_cast<std::uint8_t>(i * 37 % 7 == 0 ? 0xFF : i * 11));
    return segment;
}

}  // namespace

std::vector<OrdinaryJPEG> ordinaryJPEGs() {
    const Bytes thumbnail = written({40, 30, false, true, Coding::baseline, 0, true}, {});
    const Bytes app1 = exif(thumbnail);
    const Bytes app2 = iccProfile();
    const Bytes text{'a', ' ', 'c', 'a', 'm', 'e', 'r', 'a', 0xFF, '!'};
    const std::vector<Segment> camera{{JPEG_APP0 + 1, &app1}, {JPEG_APP0 + 2, &app2}, {JPEG_COM, &text}};
    return {
        {"baseline 4:2:0, JFIF", written({100, 75, false, true, Coding::baseline, 0, true}, {})},
        {"baseline 4:2:0, restarts, a camera's segments",
         written({100, 75, false, true, Coding::baseline, 1, false}, camera)},
        {"progressive 4:2:0, a camera's segments",
         written({100, 75, false, true, Coding::progressive, 0, false}, camera)},
        {"progressive 4:4:4, restarts", written({75, 100, false, false, Coding::progressive, 2, true}, {})},
        {"progressive grey", written({64, 48, true, false, Coding::progressive, 0, true}, {})},
        {"sequential 4:2:0, a scan for each component, restarts",
         written({100, 75, false, true, Coding::componentScans, 1, true}, {})},
    };
}

}  // namespace testing_support
