// The walk of a JPEG's segments that the work count reads before a decode waits for its turn or decodes
// anything: its time on the largest files the callers take and on the inputs that make it loop the most
// (16 MB of stuffed bytes in one scan, of empty segments, of fill bytes, of restart markers), 9 rounds each,
// min/median/max, with the load average, and what the walk found.
//   jpeg_walk
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/ProcessFigures.h"
#include "platform/imaging/Codecs.h"
#include "platform/imaging/JPEGWalk.h"
#include "testing/CraftedImages.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::imaging::WalkedScans;

constexpr std::size_t padding = 16'000'000;

// A grainy picture, baseline: the coded data of a camera's photograph, FF 00 pairs and all.
Bytes grainyJPEG(int width, int height) {
    auto bitmap =
        platform::imaging::Bitmap::create(width, height, platform::imaging::PixelFormat::bgra, UINT64_MAX);
    std::uint32_t state = 5;
    std::uint8_t* pixels = bitmap->mutablePixels();
    for (std::size_t i = 0; i < bitmap->bytes().size(); ++i) {
        state = state * 1664525u + 1013904223u;
        pixels[i] = static_cast<std::uint8_t>((i / 4 % static_cast<std::size_t>(width)) / 16 + (state >> 26));
    }
    return platform::imaging::encodeJPEG(bitmap->view(), 95).value();
}

// A small grey JPEG with `inserted` put before its first scan (`beforeScan`) or at the start of that scan's
// coded data.
Bytes withBytes(const Bytes& inserted, bool beforeScan) {
    Bytes jpeg = testing_support::manyScanGreyJPEG(64, 1, false);
    const std::uint8_t sos[] = {0xFF, 0xDA};
    auto at = std::search(jpeg.begin(), jpeg.end(), std::begin(sos), std::end(sos));
    if (!beforeScan)
        at += 2 + (at[2] << 8 | at[3]);
    jpeg.insert(at, inserted.begin(), inserted.end());
    return jpeg;
}

Bytes repeated(std::initializer_list<std::uint8_t> unit, std::size_t bytes) {
    Bytes out;
    out.reserve(bytes + unit.size());
    while (out.size() < bytes)
        out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

const char* endName(WalkedScans::End end) {
    switch (end) {
        case WalkedScans::End::image:
            return "end of image";
        case WalkedScans::End::libraryFails:
            return "library fails";
        case WalkedScans::End::shortLength:
            return "short length";
    }
    return "?";
}

}  // namespace

int main() {
    const std::pair<std::string, std::function<Bytes()>> inputs[] = {
        {"6000x4000 grainy baseline JPEG, quality 95", [] { return grainyJPEG(6000, 4000); }},
        {"6896x6896 grey JPEG, 499 scans (crafted)",
         [] { return testing_support::manyScanGreyJPEG(6896, 499, false); }},
        {"16 MB of FF 00 in one scan",
         [] {
             return withBytes(repeated({0xFF, 0x00}, padding), false);
         }},
        {"16 MB of restart markers in one scan",
         [] {
             return withBytes(repeated({0xFF, 0xD0}, padding), false);
         }},
        {"16 MB of empty comments",
         [] {
             return withBytes(repeated({0xFF, 0xFE, 0, 2}, padding), true);
         }},
        {"16 MB of fill bytes before a marker", [] { return withBytes(repeated({0xFF}, padding), true); }},
    };
    constexpr int rounds = 9;
    std::printf("The walk of each input, %d rounds: ms min/median/max; load average %s\n", rounds,
                bench_figures::loadAverage().c_str());
    for (const auto& [name, make] : inputs) {
        const Bytes jpeg = make();
        std::vector<double> ms;
        WalkedScans walked;
        for (int round = 0; round < rounds; ++round) {
            const auto start = std::chrono::steady_clock::now();
            walked = platform::imaging::walkScans(jpeg);
            ms.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-48s %6.2f MB  %7.2f %7.2f %7.2f ms  %s, %d scans\n", name.c_str(), jpeg.size() / 1e6,
                    ms.front(), ms[ms.size() / 2], ms.back(), endName(walked.end), walked.count);
    }
    return 0;
}
