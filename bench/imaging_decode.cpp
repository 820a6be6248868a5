// Decodes one image file once, with the options of one of the imaging library's callers, and prints
//   <cpu seconds of the decode> <peak resident KiB of the process> <outcome>
// where the outcome is the decoded size or the error. The peak is this program's own (VmHWM): a parent's
// wait4 would count the pages of the parent the child was spawned from. It uses only what the library's
// interface has long offered, so that the same source builds against an older tree for before-and-after
// figures (see decode_work.cpp).
//   imaging_decode picture|artwork|icon <file> [stop]
// With `stop`, how soon a stop ends the decode wherever it comes: the decode is run to its end once, then
// again for each of 24 stretches of that length, its stop flag raised by another thread at a random point
// of the stretch. Printed are the longest time from a raise to the decode's return (as a worker that
// decodes a phone's picture waits for it), in seconds of the clock, in place of the CPU time, and as the
// outcome where that raise came, how many raises came before the decode's end, and the decode's length.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
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

using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Prints the longest wait from a raised stop flag to the decode's return (see the top).
int measureStops(const std::vector<std::uint8_t>& data, DecodeOptions options) {
    constexpr int stretches = 24;
    const Clock::time_point first = Clock::now();
    const auto whole = decodeImage(data, options);
    const double length = secondsBetween(first, Clock::now());
    const std::string ending = whole ? std::to_string(whole->width()) + "x" + std::to_string(whole->height())
                                     : std::string(describe(whole.error()));
    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> within(0, 1);
    double longest = 0;
    double longestAt = 0;
    int landed = 0;
    for (int stretch = 0; stretch < stretches; ++stretch) {
        const double at = length * (stretch + within(random)) / stretches;
        std::atomic<bool> stop{false};
        options.stop = &stop;
        Clock::time_point raised;
        const Clock::time_point start = Clock::now();
        std::thread raiser([&] {
            std::this_thread::sleep_until(start + std::chrono::duration<double>(at));
            raised = Clock::now();
            stop.store(true);
        });
        const auto decoded = decodeImage(data, options);
        const Clock::time_point end = Clock::now();
        raiser.join();
        if (raised >= end)
            continue;
        ++landed;
        if (secondsBetween(raised, end) > longest) {
            longest = secondsBetween(raised, end);
            longestAt = secondsBetween(start, raised) / length;
        }
    }
    char outcome[160];
    std::snprintf(outcome, sizeof outcome, "at %.0f%% of %.3f s (%s), %d of %d raised in time",
                  100 * longestAt, length, ending.c_str(), landed, stretches);
    std::printf("%.6f %ld %s\n", longest, peakResidentKiB(), outcome);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    DecodeOptions options;
    const bool stops = argc == 4 && std::string(argv[3]) == "stop";
    if ((argc != 3 && !stops) || !callerOptions(argv[1], options)) {
        std::fprintf(stderr, "usage: imaging_decode picture|artwork|icon <file> [stop]\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    if (stops)
        return measureStops(data, options);
    const double start = cpuSeconds();
    const auto decoded = decodeImage(data, options);
    const double seconds = cpuSeconds() - start;
    const std::string outcome =
        decoded ? std::to_string(decoded->width()) + "x" + std::to_string(decoded->height())
                : std::string(describe(decoded.error()));
    std::printf("%.6f %ld %s\n", seconds, peakResidentKiB(), outcome.c_str());
    return 0;
}
