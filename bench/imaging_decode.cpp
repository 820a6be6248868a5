// Decodes one image file once, with the options of one of the imaging library's callers, and prints
//   <cpu seconds of the decode> <peak resident KiB of the process> <outcome>
// where the outcome is the decoded size or the error. The peak is this program's own (VmHWM): a parent's
// wait4 would count the pages of the parent the child was spawned from. It uses only what the library's
// interface has long offered, so that the same source builds against an older tree for before-and-after
// figures (see decode_work.cpp).
//   imaging_decode picture|artwork|icon <file>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/imaging/Codecs.h"

namespace {

using namespace platform::imaging;

// The options each caller decodes with (overlays/presentation-images, media/now-playing, apps).
bool callerOptions(const std::string& caller, DecodeOptions& options) {
    if (caller == "picture") {
        options.maxPixels = 100'000'000;
        options.longestSide = 4096;
        options.memoryBudget = 96 * 1024 * 1024;
        return true;
    }
    if (caller == "artwork") {
        options.maxPixels = 4096ull * 4096;
        options.longestSide = 360;
        return true;
    }
    if (caller == "icon") {
        options.maxPixels = 4096ull * 4096;
        options.format = PixelFormat::rgba;
        return true;
    }
    return false;
}

long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

double cpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    DecodeOptions options;
    if (argc != 3 || !callerOptions(argv[1], options)) {
        std::fprintf(stderr, "usage: imaging_decode picture|artwork|icon <file>\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    const double start = cpuSeconds();
    const auto decoded = decodeImage(data, options);
    const double seconds = cpuSeconds() - start;
    const std::string outcome =
        decoded ? std::to_string(decoded->width()) + "x" + std::to_string(decoded->height())
                : std::string(describe(decoded.error()));
    std::printf("%.6f %ld %s\n", seconds, peakResidentKiB(), outcome.c_str());
    return 0;
}
