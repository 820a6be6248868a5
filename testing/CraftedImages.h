#pragma once
// Images built to cost a decoder far more than their size or pixels suggest, for the tests and benchmarks
// of every decode. Each is a plain picture (flat grey, transparent black) so that it is made in a fraction
// of the time it takes to decode: repeated parts are coded once and copied.
//
// Thread: any; calls share no state.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testing_support {

// A progressive grey JPEG of side x side, flat grey, in `scans` scans (1 ... 883): the DC, then the AC
// coefficients in bands of one or more, each band in a first scan and successive refinements. Every scan
// makes the decoder visit each block of the image, yet codes it in a few bytes (a run of empty blocks).
// Huffman-coded or arithmetic-coded. 6896 and 499 scans: about 140 KB (Huffman), 9 KB (arithmetic).
std::vector<std::uint8_t> manyScanGreyJPEG(int side, int scans, bool arithmetic);

// An 8-bit RGBA PNG of side x side with `chunks` zTXt chunks before its pixels, each inflating to
// `inflatedBytesEach` bytes of text. Its pixels are the same whatever the chunks: textChunkPNG(side, 0, 0)
// is the same picture without them. 64, 127 chunks of 8,000,000 bytes: about 992 KB.
std::vector<std::uint8_t> textChunkPNG(int side, int chunks, std::size_t inflatedBytesEach);

// A 16-bit RGBA PNG of side x side, transparent black, every row Paeth-filtered. 10000: about 797 KB,
// 800,000,000 bytes of rows once inflated.
std::vector<std::uint8_t> paethRGBA16PNG(int side);
// The same picture, Adam7-interlaced: a decoder reads it in seven passes over the whole picture.
std::vector<std::uint8_t> interlacedPaethRGBA16PNG(int side);

}  // namespace testing_support
