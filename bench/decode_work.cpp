// The work and memory of one decode, before and after: each input is decoded once per process by
// imaging_decode as its caller decodes it, by this tree's build and by another's, in interleaved rounds;
// printed are the CPU time of the decode itself (min/median/max), the process's peak resident memory
// (median, as the process reads it) and what came of it. The inputs are files built to cost far more than
// their size says (testing/CraftedImages) and the largest of what cameras, phones and screenshot tools make
// within the callers' limits.
//   decode_work [--stop] <imaging_decode of the other tree> [rounds] [input name part]
// With --stop, how soon a raised stop flag ends the decode wherever it comes (imaging_decode's stop: the
// longest of 24 raises spread over the decode, per round), for pictures whose decode goes on after its
// rows (an interlaced PNG held whole to be shrunk, a picture turned upright by its EXIF orientation) and
// files whose header is millions of segments or chunks long.
// The other tree's imaging_decode is built from this same source against that tree, for example (one line,
// <other> being that tree's checkout with its plain build in build/):
//   g++ -std=c++20 -O2 -DNDEBUG -I<other> bench/imaging_decode.cpp
//       <other>/build/platform/imaging/libimaging.a <other>/build/platform/libplatform.a
//       $(pkg-config --libs libturbojpeg libjpeg libpng) -lyuv -o /tmp/imaging_decode_before
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "testing/CraftedImages.h"

// After <cstdio>: the libjpeg header needs size_t and FILE declared before it.
#include <jpeglib.h>
#include <png.h>

extern char** environ;

namespace {

using Bytes = std::vector<std::uint8_t>;

// ---- Inputs -----------------------------------------------------------------------------------------

// A photograph's samples: broad shading, edges, and grain (which makes its files as large as a camera's).
std::uint8_t photo(int x, int y, int channel, std::uint32_t& grain) {
    grain = grain * 1664525u + 1013904223u;
    double value = 128 + 60 * std::sin(x * 0.013 + channel) * std::cos(y * 0.011 - channel) +
                   30 * std::sin((x + y) * 0.05);
    if ((x / 211 + y / 173) % 2 != 0)
        value += 25;
    value += static_cast<int>((grain >> 24) % 13) - 6;
    return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0));
}

// A screen's: flat panels, lines of text-like strokes, and a shaded picture.
std::uint8_t screen(int x, int y, int channel) {
    const int panel = (x / 640 + y / 360) % 5;
    const bool text = y % 24 < 14 && x % 640 > 40 && x % 640 < 600 && ((x * 7 + y * 13) ^ (x / 5)) % 11 < 3 &&
                      (y / 24) % 3 != 2;
    if (text)
        return 20;
    if (panel == 4)
        return static_cast<std::uint8_t>(128 + 50 * std::sin(x * 0.02 + channel) + 40 * std::cos(y * 0.03));
    return static_cast<std::uint8_t>(40 + panel * 40 + channel * 10);
}

enum class Progression { baseline, library, mozjpegLike };

// The scans of an encoder that searches its progression (luma and chroma each split in two bands at two
// bits, then refined), as mozjpeg's files commonly have them.
std::vector<jpeg_scan_info> mozjpegLikeScans() {
    std::vector<jpeg_scan_info> scans;
    const auto add = [&](std::vector<int> components, int ss, int se, int ah, int al) {
        jpeg_scan_info scan{};
        scan.comps_in_scan = static_cast<int>(components.size());
        for (std::size_t i = 0; i < components.size(); ++i)
            scan.component_index[i] = components[i];
        scan.Ss = ss;
        scan.Se = se;
        scan.Ah = ah;
        scan.Al = al;
        scans.push_back(scan);
    };
    add({0, 1, 2}, 0, 0, 0, 0);
    for (int component = 0; component < 3; ++component) {
        add({component}, 1, component == 0 ? 8 : 2, 0, 1);
        add({component}, component == 0 ? 9 : 3, 63, 0, 1);
        add({component}, 1, 63, 1, 0);
    }
    return scans;
}

Bytes jpegFile(int width, int height, bool fullChroma, Progression progression) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 92, TRUE);
    if (fullChroma) {
        info.comp_info[0].h_samp_factor = 1;
        info.comp_info[0].v_samp_factor = 1;
    }
    const std::vector<jpeg_scan_info> scans = mozjpegLikeScans();
    if (progression == Progression::library)
        jpeg_simple_progression(&info);
    if (progression == Progression::mozjpegLike) {
        info.scan_info = scans.data();
        info.num_scans = static_cast<int>(scans.size());
    }
    jpeg_start_compress(&info, TRUE);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(width) * 3);
    JSAMPROW rows[1] = {row.data()};
    std::uint32_t grain = 7;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                row[static_cast<std::size_t>(x) * 3 + c] = photo(x, y, c, grain);
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    Bytes bytes(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);
    return bytes;
}

void appendPNG(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

// EXIF data (a little-endian TIFF header and one directory) holding only `orientation`.
Bytes exifOf(int orientation) {
    Bytes exif{'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    exif[18] = static_cast<std::uint8_t>(orientation);  // the directory's one entry: a SHORT, its value
    return exif;
}

// The JPEG with an APP1 segment of that EXIF data right after its start, as cameras write it.
Bytes withOrientation(Bytes jpeg, int orientation) {
    Bytes segment{0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
    const Bytes exif = exifOf(orientation);
    segment.insert(segment.end(), exif.begin(), exif.end());
    segment[3] = static_cast<std::uint8_t>(segment.size() - 2);
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

// The JPEG with `bytes` of empty COM segments (4 bytes each) right after its start.
Bytes afterSegments(Bytes jpeg, std::size_t bytes) {
    Bytes segments;
    for (std::size_t i = 0; i < bytes / 4; ++i)
        segments.insert(segments.end(), {0xFF, 0xFE, 0x00, 0x02});
    jpeg.insert(jpeg.begin() + 2, segments.begin(), segments.end());
    return jpeg;
}

// A smooth 16-bit RGBA picture (opaque, slow gradients that its filters code in a few MB), Adam7-interlaced
// when asked, with an EXIF orientation other than 1 when given.
Bytes smoothRGBA16PNG(int width, int height, bool interlaced, int orientation) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, appendPNG, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 16,
                 PNG_COLOR_TYPE_RGB_ALPHA, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    Bytes exif = exifOf(orientation);
    if (orientation != 1)
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif.size()), exif.data());
    png_write_info(png, info);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 8;
    Bytes pixels(rowBytes * static_cast<std::size_t>(height));
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        png_bytep row = pixels.data() + rowBytes * static_cast<std::size_t>(y);
        rows[static_cast<std::size_t>(y)] = row;
        for (int x = 0; x < width; ++x) {
            const std::uint16_t samples[] = {static_cast<std::uint16_t>(x * 65535 / width),
                                             static_cast<std::uint16_t>(y * 65535 / height),
                                             static_cast<std::uint16_t>((x + y) * 16), 65535};
            for (int c = 0; c < 4; ++c) {
                row[static_cast<std::size_t>(x) * 8 + c * 2] = static_cast<png_byte>(samples[c] >> 8);
                row[static_cast<std::size_t>(x) * 8 + c * 2 + 1] = static_cast<png_byte>(samples[c]);
            }
        }
    }
    png_write_image(png, rows.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// As screenshot tools write them (8-bit, libpng's filter choice), or a 16-bit photograph; grey, RGB or
// RGBA by its channels; with an EXIF orientation other than 1 when given.
Bytes pngFile(int width, int height, int channels, int depth, int orientation = 1) {
    static constexpr int colourTypes[] = {0, PNG_COLOR_TYPE_GRAY, 0, PNG_COLOR_TYPE_RGB,
                                          PNG_COLOR_TYPE_RGB_ALPHA};
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, appendPNG, nullptr);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), depth,
                 colourTypes[channels], PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    Bytes exif = exifOf(orientation);
    if (orientation != 1)
        png_set_eXIf_1(png, info, static_cast<png_uint_32>(exif.size()), exif.data());
    png_write_info(png, info);
    const int bytesPerSample = depth / 8;
    std::vector<png_byte> row(static_cast<std::size_t>(width) * channels * bytesPerSample);
    std::uint32_t grain = 3;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < channels; ++c) {
                const std::uint8_t sample = c == 3        ? 255
                                            : depth == 16 ? photo(x, y, c, grain)
                                                          : screen(x, y, c);
                for (int b = 0; b < bytesPerSample; ++b)
                    row[(static_cast<std::size_t>(x) * channels + c) * bytesPerSample + b] =
                        b == 0 ? sample : static_cast<std::uint8_t>(grain >> 16);
            }
        png_write_row(png, row.data());
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

// Two pixels, one above the other, with `bytes` of deflate blocks that decode to nothing (each with its own
// end-of-block code alone, the costliest a byte) at `place`.
Bytes padded(std::size_t bytes, testing_support::PaddingPlace place) {
    return testing_support::paddedPNG(testing_support::paethNoisePNG({1, 2, 8, 6, false, false}), bytes,
                                      testing_support::DeflatePadding::minimalDynamic, place);
}

// The JPEG behind a comment whose length field says 0, which the library reads as empty and reads on.
Bytes behindEmptyComment(Bytes jpeg) {
    const std::uint8_t comment[] = {0xFF, 0xFE, 0, 0};
    jpeg.insert(jpeg.begin() + 2, std::begin(comment), std::end(comment));
    return jpeg;
}

struct Input {
    std::string name;
    std::string caller;  // picture, artwork or icon
    std::function<Bytes()> make;
};

std::vector<Input> inputs() {
    using testing_support::manyScanGreyJPEG;
    using testing_support::paethRGBA16PNG;
    using testing_support::textChunkPNG;
    const auto jpeg = [](int w, int h, bool fullChroma, Progression p) {
        return [=] { return jpegFile(w, h, fullChroma, p); };
    };
    const auto png = [](int w, int h, int channels, int depth) {
        return [=] { return pngFile(w, h, channels, depth); };
    };
    return {
        {"crafted: 6896x6896 grey JPEG, 499 scans, Huffman", "picture",
         [] { return manyScanGreyJPEG(6896, 499, false); }},
        {"crafted: 6896x6896 grey JPEG, 499 scans, arithmetic", "picture",
         [] { return manyScanGreyJPEG(6896, 499, true); }},
        {"crafted: 64x64 PNG, 127 zTXt of 8,000,000 bytes", "picture",
         [] { return textChunkPNG(64, 127, 8'000'000); }},
        {"crafted: 64x64 PNG, 127 zTXt of 8,000,000 bytes", "artwork",
         [] { return textChunkPNG(64, 127, 8'000'000); }},
        {"crafted: 64x64 PNG, 127 zTXt of 8,000,000 bytes", "icon",
         [] { return textChunkPNG(64, 127, 8'000'000); }},
        {"crafted: 10000x10000 16-bit RGBA PNG, all Paeth", "picture", [] { return paethRGBA16PNG(10000); }},
        {"crafted: 5826x5826 16-bit RGB tRNS PNG, Paeth over noise (within budget)", "picture",
         [] {
             return testing_support::paethNoisePNG({5826, 5826, 16, 2, true, false});
         }},
        {"crafted: 1024x1024 grey JPEG, 3,416 DC scans, arithmetic", "picture",
         [] { return testing_support::repeatedDCScanJPEG(1024, 3416); }},
        {"crafted: 1024x1024 grey JPEG, 2,000 zero-run AC scans, arithmetic", "picture",
         [] { return testing_support::zeroRunACScanJPEG(1024, 2001); }},
        {"crafted: 8200x8200 grey JPEG, sequential, all AC set, arithmetic", "picture",
         [] { return testing_support::allACSequentialJPEG(8200); }},
        {"crafted: 1024x1024 grey JPEG, 3,416 zero-run AC scans, arithmetic", "artwork",
         [] { return testing_support::zeroRunACScanJPEG(1024, 3417); }},
        {"crafted: 1024x1024 grey JPEG, 2,402 one-bit DC scans behind a comment of length 0", "picture",
         [] { return behindEmptyComment(testing_support::oneBitDCScanJPEG(1024, 2402)); }},
        {"crafted: 1024x1024 grey JPEG, 3,416 one-bit DC scans behind a comment of length 0", "picture",
         [] { return behindEmptyComment(testing_support::oneBitDCScanJPEG(1024, 3416)); }},
        {"crafted: 9219x9219 16-bit grey tRNS PNG, Paeth over noise", "picture",
         [] {
             return testing_support::paethNoisePNG({9219, 9219, 16, 0, true, false});
         }},
        {"crafted: 6519x6519 16-bit RGB tRNS PNG, Paeth over noise", "picture",
         [] {
             return testing_support::paethNoisePNG({6519, 6519, 16, 2, true, false});
         }},
        {"4000x3000 JPEG 4:2:0 baseline (phone)", "picture", jpeg(4000, 3000, false, Progression::baseline)},
        {"4000x3000 JPEG 4:2:0 progressive, libjpeg scans", "picture",
         jpeg(4000, 3000, false, Progression::library)},
        {"4000x3000 JPEG 4:4:4 progressive, libjpeg scans", "picture",
         jpeg(4000, 3000, true, Progression::library)},
        {"6000x4000 JPEG 4:2:0 baseline (camera)", "picture", jpeg(6000, 4000, false, Progression::baseline)},
        {"6000x4000 JPEG 4:2:0 progressive, libjpeg scans", "picture",
         jpeg(6000, 4000, false, Progression::library)},
        {"6000x4000 JPEG 4:2:0 progressive, mozjpeg-like scans", "picture",
         jpeg(6000, 4000, false, Progression::mozjpegLike)},
        {"7072x4716 JPEG 4:2:0 progressive, libjpeg scans (96 MiB)", "picture",
         jpeg(7072, 4716, false, Progression::library)},
        {"4618x3464 JPEG 4:4:4 progressive, mozjpeg-like (96 MiB)", "picture",
         jpeg(4618, 3464, true, Progression::mozjpegLike)},
        {"10000x10000 JPEG 4:4:4 baseline", "picture", jpeg(10000, 10000, true, Progression::baseline)},
        {"4096x4096 JPEG 4:2:0 progressive, libjpeg scans", "artwork",
         jpeg(4096, 4096, false, Progression::library)},
        {"3840x2160 RGBA PNG screenshot", "picture", png(3840, 2160, 4, 8)},
        {"7680x4320 RGB PNG screenshot", "picture", png(7680, 4320, 3, 8)},
        {"8660x5774 RGBA PNG screenshot (50 MP)", "picture", png(8660, 5774, 4, 8)},
        {"10000x10000 grey PNG (100 MP)", "picture", png(10000, 10000, 1, 8)},
        {"6000x4000 16-bit RGB PNG photograph", "picture", png(6000, 4000, 3, 16)},
        {"4096x4096 RGBA PNG", "artwork", png(4096, 4096, 4, 8)},
        // Cover art as music files and players carry it, up to the 16 MiB artwork may have.
        {"3600x3600 RGBA PNG photograph, 8.1 MB", "artwork",
         [] { return testing_support::photographPNG(3600, 3600, 8, 0); }},
        {"4096x4096 RGBA PNG photograph, 10.5 MB", "artwork",
         [] { return testing_support::photographPNG(4096, 4096, 8, 0); }},
        {"4096x4096 RGBA PNG photograph, 12.6 MB", "artwork",
         [] { return testing_support::photographPNG(4096, 4096, 8, 4); }},
        {"4096x4096 RGBA PNG photograph, 15.7 MB", "artwork",
         [] { return testing_support::photographPNG(4096, 4096, 8, 9); }},
        // Two pixels with empty deflate blocks before their rows and between them.
        {"crafted: 1x2 PNG, 8.2 MB of empty deflate blocks before its rows", "artwork",
         [] { return padded(8'200'000, testing_support::PaddingPlace::beforeRows); }},
        {"crafted: 1x2 PNG, 8.2 MB of empty deflate blocks amid its rows", "picture",
         [] { return padded(8'200'000, testing_support::PaddingPlace::amidRows); }},
        {"crafted: 1x2 PNG, 16.5 MB of empty deflate blocks before its rows", "artwork",
         [] { return padded(16'500'000, testing_support::PaddingPlace::beforeRows); }},
        {"crafted: 1x2 PNG, 16.5 MB of empty deflate blocks amid its rows", "artwork",
         [] { return padded(16'500'000, testing_support::PaddingPlace::amidRows); }},
        {"4096x4096 RGBA PNG", "icon", png(4096, 4096, 4, 8)},
        {"4096x4096 16-bit RGBA PNG", "icon", png(4096, 4096, 4, 16)},
    };
}

// Pictures whose decode goes on after their rows, and headers that take tens of milliseconds to walk.
std::vector<Input> stopInputs() {
    return {
        {"4730x3540 16-bit RGBA PNG, interlaced, orientation 6", "picture",
         [] { return smoothRGBA16PNG(4730, 3540, true, 6); }},
        {"5000x3355 16-bit RGBA PNG, interlaced", "picture",
         [] { return smoothRGBA16PNG(5000, 3355, true, 1); }},
        {"4096x4096 RGBA PNG screenshot, orientation 6", "picture",
         [] { return pngFile(4096, 4096, 4, 8, 6); }},
        {"4032x3024 JPEG 4:2:0 baseline (phone), orientation 6", "picture",
         [] { return withOrientation(jpegFile(4032, 3024, false, Progression::baseline), 6); }},
        {"crafted: 64x64 JPEG behind 8 MB of empty COM segments", "picture",
         [] { return afterSegments(jpegFile(64, 64, false, Progression::baseline), 8'000'000); }},
        {"crafted: 64x64 PNG behind 280,000 empty zTXt chunks", "picture",
         [] { return testing_support::textChunkPNG(64, 280'000, 0); }},
    };
}

// ---- Runs -------------------------------------------------------------------------------------------

struct Run {
    double seconds = 0;
    long peakKiB = 0;
    std::string outcome;
};

Run decodeOnce(const std::string& program, const std::string& caller, const std::string& file, bool stops) {
    int out[2];
    if (pipe(out) != 0)
        return {0, 0, "no pipe"};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> arguments{program, caller, file};
    if (stops)
        arguments.push_back("stop");
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    if (spawned != 0)
        return {0, 0, "could not start " + program};
    int status = 0;
    waitpid(pid, &status, 0);
    Run run;
    const std::size_t space = text.find(' ');
    const std::size_t second = space == std::string::npos ? space : text.find(' ', space + 1);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || second == std::string::npos)
        return {0, 0, "failed (status " + std::to_string(status) + ")"};
    run.seconds = std::stod(text.substr(0, space));
    run.peakKiB = std::stol(text.substr(space + 1, second - space - 1));
    run.outcome = text.substr(second + 1);
    while (!run.outcome.empty() && run.outcome.back() == '\n')
        run.outcome.pop_back();
    return run;
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    char text[64];
    std::snprintf(text, sizeof text, "%.3f/%.3f/%.3f", values.front(), values[values.size() / 2],
                  values.back());
    return text;
}

double medianPeakMiB(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.peakKiB < b.peakKiB; });
    return static_cast<double>(runs[runs.size() / 2].peakKiB) / 1024;
}

}  // namespace

int main(int argc, char** argv) {
    const bool stops = argc > 1 && std::string(argv[1]) == "--stop";
    if (stops) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: decode_work [--stop] <imaging_decode of the other tree> [rounds] [input name "
                     "part]\n");
        return 2;
    }
    const std::string before = argv[1];
    const std::string after = LUMIVEX_IMAGING_DECODE;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::string only = argc > 3 ? argv[3] : "";

    char folderTemplate[] = "/tmp/decode-work-XXXXXX";
    const char* folderName = mkdtemp(folderTemplate);
    if (folderName == nullptr)
        return 1;
    const std::filesystem::path folder(folderName);
    struct Prepared {
        Input input;
        std::string file;
        std::size_t bytes;
        std::vector<Run> before, after;
    };
    std::vector<Prepared> prepared;
    for (Input& input : stops ? stopInputs() : inputs()) {
        if (input.name.find(only) == std::string::npos)
            continue;
        const Bytes bytes = input.make();
        const std::string file = (folder / (std::to_string(prepared.size()) + ".img")).string();
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        prepared.push_back({std::move(input), file, bytes.size(), {}, {}});
    }

    std::printf(stops ? "Each input decoded by one process per round as its caller does, its stop flag "
                        "raised at 24 points "
                        "spread over the decode; the longest wait from a raise to the decode's return, %d "
                        "rounds, before "
                        "and after interleaved.\nbefore: %s\nafter: %s\nload average at start: %s\n"
                      : "Each input decoded once per process as its caller does, %d rounds, before and after "
                        "interleaved.\nbefore: %s\nafter: %s\nload average at start: %s\n",
                rounds, before.c_str(), after.c_str(), loadAverage().c_str());
    for (int round = 0; round < rounds; ++round) {
        for (Prepared& p : prepared) {
            // Which goes first changes from round to round.
            if (round % 2 == 0) {
                p.before.push_back(decodeOnce(before, p.input.caller, p.file, stops));
                p.after.push_back(decodeOnce(after, p.input.caller, p.file, stops));
            } else {
                p.after.push_back(decodeOnce(after, p.input.caller, p.file, stops));
                p.before.push_back(decodeOnce(before, p.input.caller, p.file, stops));
            }
        }
    }
    std::printf("%-62s %-7s %9s  %-23s %-23s %8s %8s  %s\n", "input", "caller", "KB",
                stops ? "before stop s min/med/max" : "before CPU s min/med/max",
                stops ? "after stop s min/med/max" : "after CPU s min/med/max", "before", "after",
                "before -> after");
    std::printf("%-62s %-7s %9s  %-23s %-23s %8s %8s\n", "", "", "", "", "", "peak MiB", "peak MiB");
    for (const Prepared& p : prepared) {
        std::vector<double> beforeSeconds, afterSeconds;
        for (const Run& run : p.before)
            beforeSeconds.push_back(run.seconds);
        for (const Run& run : p.after)
            afterSeconds.push_back(run.seconds);
        std::printf("%-62s %-7s %9zu  %-23s %-23s %8.0f %8.0f  %s -> %s\n", p.input.name.c_str(),
                    p.input.caller.c_str(), p.bytes / 1000, spread(beforeSeconds).c_str(),
                    spread(afterSeconds).c_str(), medianPeakMiB(p.before), medianPeakMiB(p.after),
                    p.before.back().outcome.c_str(), p.after.back().outcome.c_str());
    }
    std::printf("load average at end: %s\n", loadAverage().c_str());
    std::filesystem::remove_all(folder);
    return 0;
}
