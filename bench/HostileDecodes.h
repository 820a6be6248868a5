#pragma once
// The hostile-phone benchmark's rows of crafted pictures, icons and artwork (hostile_decodes.cpp).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hostile_decodes {

// A JPEG of the given size, its rows filled by `fill` (components samples a pixel); progressive or
// baseline, with full or halved chroma.
std::vector<std::uint8_t> compressJPEG(int width, int height, int components, int quality, bool progressive,
                                       bool fullChroma,
                                       const std::function<void(std::uint8_t* row, int y)>& fill);

// Runs the rows whose names `runs` accepts: each a few rounds per companion, interleaved, every round a
// companion of its own. `after` is the companion measured; `before`, when not empty, another build run
// in turn with it.
void runRows(const std::function<bool(const std::string&)>& runs, const std::string& after,
             const std::string& before);

}  // namespace hostile_decodes
