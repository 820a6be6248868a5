// What decoding a PNG costs, for every colour type, bit depth and tRNS the format has, where it costs the
// most: files whose every row is Paeth-filtered over random-looking bytes (testing/CraftedImages), decoded
// in this process as the callers decode them. Per shape and use: the CPU time per pixel (min/median/max of
// the rounds), the work counted for it per pixel (found from the header alone: a raised stop flag ends
// every decode the budget lets through before its first row), and what that time and count make of the
// whole budget, in seconds of one core. For pictures the shape is the largest square the budget takes,
// whose decode is timed whole; the README says it takes at most about two seconds.
//   png_work [rounds] [shape name part]
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/imaging/Codecs.h"
#include "testing/CraftedImages.h"

namespace {

using namespace platform::imaging;
using Bytes = std::vector<std::uint8_t>;
using testing_support::PNGShape;

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The options of imaging_decode's callers (overlays/presentation-images, media/now-playing, apps).
DecodeOptions picture() {
    DecodeOptions options;
    options.maxPixels = 100'000'000;
    options.longestSide = 4096;
    options.memoryBudget = 64 * 1024 * 1024;
    return options;
}
DecodeOptions artwork() {
    DecodeOptions options;
    options.maxPixels = 4096ull * 4096;
    options.longestSide = 360;
    return options;
}
DecodeOptions icon() {
    DecodeOptions options;
    options.maxPixels = 4096ull * 4096;
    options.format = PixelFormat::rgba;
    return options;
}

// The file's header claiming another size: all that the count of its work reads.
Bytes claimingSize(Bytes png, int width, int height) {
    for (int i = 0; i < 4; ++i) {
        png[16 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(width) >> (24 - 8 * i));
        png[20 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(height) >> (24 - 8 * i));
    }
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, png.data() + 12, 17));
    for (int i = 0; i < 4; ++i)
        png[29 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    return png;
}

// The work counted for decoding the file: the least budget that lets it through.
std::uint64_t countedWork(const Bytes& png, DecodeOptions options) {
    const std::atomic<bool> raised{true};
    options.stop = &raised;
    std::uint64_t low = 0;
    std::uint64_t high = std::uint64_t{1} << 50;
    while (low < high) {
        options.workBudget = low + (high - low) / 2;
        if (decodeImage(png, options).error() == ImageError::tooMuchWork)
            low = options.workBudget + 1;
        else
            high = options.workBudget;
    }
    return low;
}

// The longest side of a square of the shape that the default budget takes as a picture.
int largestSquare(const PNGShape& shape) {
    PNGShape one = shape;
    one.width = one.height = 1;
    const Bytes header = testing_support::paethNoisePNG(one);
    DecodeOptions options = picture();
    const std::atomic<bool> raised{true};
    options.stop = &raised;
    int low = 1;
    int high = 10000;
    while (low < high) {
        const int side = low + (high - low + 1) / 2;
        if (decodeImage(claimingSize(header, side, side), options).error() == ImageError::tooMuchWork)
            high = side - 1;
        else
            low = side;
    }
    // The file's compressed bytes count too: a hundredth smaller until the file itself is taken.
    PNGShape square = shape;
    square.width = square.height = low;
    while (square.width > 1 &&
           decodeImage(testing_support::paethNoisePNG(square), options).error() == ImageError::tooMuchWork)
        square.width = square.height = square.width * 99 / 100;
    return square.width;
}

std::string spread(std::vector<double> values, const char* format) {
    std::sort(values.begin(), values.end());
    char text[64];
    std::snprintf(text, sizeof text, format, values.front(), values[values.size() / 2], values.back());
    return text;
}

void measure(const std::string& name, const char* use, const Bytes& png, const DecodeOptions& options,
             double pixels, int rounds) {
    std::vector<double> seconds;
    std::string outcome;
    for (int round = 0; round < rounds; ++round) {
        const double start = cpuSeconds();
        const auto decoded = decodeImage(png, options);
        seconds.push_back(cpuSeconds() - start);
        outcome = decoded ? std::to_string(decoded->width()) + "x" + std::to_string(decoded->height())
                          : std::string(describe(decoded.error()));
    }
    std::vector<double> perPixel;
    for (const double s : seconds)
        perPixel.push_back(s * 1e9 / pixels);
    const double counted = static_cast<double>(countedWork(png, options)) / pixels;
    std::sort(perPixel.begin(), perPixel.end());
    const double atBudget = perPixel.back() / counted * static_cast<double>(defaultWorkBudget) * 1e-9;
    std::printf("%-34s %-26s %-24s %-22s %7.1f %6.2f  %s\n", name.c_str(), use,
                spread(seconds, "%.3f/%.3f/%.3f").c_str(), spread(perPixel, "%.1f/%.1f/%.1f").c_str(),
                counted, atBudget, outcome.c_str());
    std::fflush(stdout);
}

std::string nameOf(const PNGShape& shape) {
    static const char* types[] = {"grey", "", "RGB", "palette", "grey+alpha", "", "RGBA"};
    return std::string(types[shape.colourType]) + " " + std::to_string(shape.bitDepth) + "-bit" +
           (shape.transparency ? " tRNS" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string only = argc > 2 ? argv[2] : "";
    std::vector<PNGShape> shapes;
    const auto add = [&](int type, int depth, bool transparency) {
        shapes.push_back({1, 1, depth, type, transparency, false});
    };
    for (const int depth : {1, 2, 4, 8, 16})
        for (const bool transparency : {false, true})
            add(0, depth, transparency);
    for (const int depth : {8, 16})
        for (const bool transparency : {false, true})
            add(2, depth, transparency);
    for (const int depth : {1, 2, 4, 8})
        for (const bool transparency : {false, true})
            add(3, depth, transparency);
    for (const int depth : {8, 16}) {
        add(4, depth, false);
        add(6, depth, false);
    }
    std::printf(
        "Crafted PNGs, every row Paeth over random-looking bytes, decoded in this process, %d rounds; "
        "load average %s\n",
        rounds, loadAverage().c_str());
    std::printf("%-34s %-26s %-24s %-22s %7s %6s  %s\n", "shape", "use", "CPU s min/med/max",
                "ns a pixel min/med/max", "counted", "budget", "outcome");
    std::printf("%-34s %-26s %-24s %-22s %7s %6s\n", "", "", "", "", "a pixel", "is s");
    for (const PNGShape& base : shapes) {
        const std::string name = nameOf(base);
        if (name.find(only) == std::string::npos)
            continue;
        PNGShape shape = base;
        shape.width = shape.height = largestSquare(base);
        const double largest = static_cast<double>(shape.width) * shape.height;
        const std::string square = "picture, " + std::to_string(shape.width) + " square";
        measure(name, square.c_str(), testing_support::paethNoisePNG(shape), picture(), largest, rounds);
        // The most each pixel costs: shrunk by a ratio near one.
        shape.width = shape.height = 4100;
        measure(name, "picture, 4100 square", testing_support::paethNoisePNG(shape), picture(), 4100.0 * 4100,
                rounds);
        // Held whole: as an icon at its size, as artwork shrunk.
        shape.width = shape.height = 4096;
        shape.interlaced = true;
        const Bytes interlaced = testing_support::paethNoisePNG(shape);
        measure(name, "icon, 4096 interlaced", interlaced, icon(), 4096.0 * 4096, rounds);
        measure(name, "artwork, 4096 interlaced", interlaced, artwork(), 4096.0 * 4096, rounds);
    }
    std::printf("load average at the end %s\n", loadAverage().c_str());
    return 0;
}
