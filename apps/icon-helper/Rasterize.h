#pragma once
// The icon helper's drawing: SVG through librsvg, XPM through gdk-pixbuf, both into straight RGBA of at
// most `side` pixels a side. Runs only inside the short-lived helper process, whose limits bound what a
// hostile file can cost; the companion itself never links these libraries.
//
// Thread: the helper's only thread.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Apps::IconHelper {

struct Raster {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;  // straight alpha, rows packed
};

// SVG into a square of `side` pixels; every reference to another file is refused.
std::optional<Raster> rasterizeSVG(std::span<const std::uint8_t> bytes, int side);
// XPM at its own size, scaled down (area averaging) when a side is longer than `side`.
std::optional<Raster> rasterizeXPM(std::span<const std::uint8_t> bytes, int side);
// The C string literals of an XPM file, in order (comments skipped, the usual escapes resolved); what
// gdk-pixbuf's in-memory XPM reader takes, so that it never spools the data to a temporary file.
std::vector<std::string> xpmStrings(std::span<const std::uint8_t> bytes);

}  // namespace Apps::IconHelper
