#pragma once
// Icon files to bitmaps and bitmaps to PNG: PNG through the shared imaging library, SVG and XPM drawn by
// the icon helper process (IconRenderer.h). Sizes, file lengths and the work of a decode are bounded, so a
// huge or hostile file gives none rather than exhausting memory or time, or ending the process.
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "apps/AppCatalogTypes.h"
#include "apps/IconRenderer.h"

namespace Apps {

inline constexpr std::size_t maxIconFileBytes = 8 * 1024 * 1024;
inline constexpr int maxIconSide = 4096;

// The bitmap as PNG at the usual compression level (6); none when encoding fails.
std::optional<std::vector<std::uint8_t>> encodePNG(const IconBitmap& image);

// Decodes PNG, SVG or XPM by content. PNGs keep their size; SVGs are drawn into a square of `side` pixels
// and XPMs longer than `side` are scaled down to it, both by `renderer`. A PNG's decode gives none soon
// once `stop` (when given) is raised, and none for more work than allowed, telling why in `refusal`
// (when given).
std::optional<IconBitmap> decodeIcon(std::span<const std::uint8_t> bytes, int side,
                                     const IconRenderer& renderer = IconRenderer::besideProgram(),
                                     const std::atomic<bool>* stop = nullptr, std::string* refusal = nullptr);
// Reads at most maxIconFileBytes of a regular file and decodes it; none for anything else.
std::optional<IconBitmap> loadIconFile(const std::filesystem::path& path, int side,
                                       const IconRenderer& renderer = IconRenderer::besideProgram(),
                                       const std::atomic<bool>* stop = nullptr,
                                       std::string* refusal = nullptr);

}  // namespace Apps
