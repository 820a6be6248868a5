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

// Arithmetic-coded grey JPEGs of side x side, which spend many decisions of the arithmetic decoder on each
// block while each decision, once learnt, costs almost no bits:
// - progressive: one DC scan, each block's DC 16384 with its sign alternating, written `scans` times
//   over (1024, 3416 scans: about 58 KB);
// - progressive: a DC scan, then `scans` - 1 first scans of the whole AC band, each coding a run of 62
//   zeros and then 16384 in every block (1024, 2001 scans: about 8.3 MB);
// - sequential: one scan, every AC coefficient of every block set.
std::vector<std::uint8_t> repeatedDCScanJPEG(int side, int scans);
std::vector<std::uint8_t> zeroRunACScanJPEG(int side, int scans);
std::vector<std::uint8_t> allACSequentialJPEG(int side);

// An 8-bit RGBA PNG of side x side with `chunks` zTXt chunks before its pixels, each inflating to
// `inflatedBytesEach` bytes of text. Its pixels are the same whatever the chunks: textChunkPNG(side, 0, 0)
// is the same picture without them. 64, 127 chunks of 8,000,000 bytes: about 992 KB.
std::vector<std::uint8_t> textChunkPNG(int side, int chunks, std::size_t inflatedBytesEach);

// A 16-bit RGBA PNG of side x side, transparent black, every row Paeth-filtered. 10000: about 797 KB,
// 800,000,000 bytes of rows once inflated.
std::vector<std::uint8_t> paethRGBA16PNG(int side);
// The same picture, Adam7-interlaced: a decoder reads it in seven passes over the whole picture.
std::vector<std::uint8_t> interlacedPaethRGBA16PNG(int side);

// A PNG of width x height (colour type and bit depth as its header numbers them; a tRNS chunk when
// `transparency`, and for colour type 3 a palette of every index) whose rows, of every pass when
// interlaced, are all the same random-looking bytes under the Paeth filter, the slowest to undo. Each row
// is coded as a copy of the one before: 9219x9219 16-bit grey is about 1.3 MB.
struct PNGShape {
    int width = 1;
    int height = 1;
    int bitDepth = 8;
    int colourType = 6;
    bool transparency = false;
    bool interlaced = false;
};
std::vector<std::uint8_t> paethNoisePNG(const PNGShape& shape);

// Deflate blocks that decode to nothing, of each kind a stream may pad itself with:
// - fullDynamic: dynamic Huffman codes with every literal/length and distance code, the decoder's largest
//   tables (about 38 bytes a block);
// - minimalDynamic: dynamic codes with the end-of-block code alone (about 12 bytes);
// - fixed: the fixed codes (10 bits);
// - stored: no codes and no bytes (5 bytes).
enum class DeflatePadding { fullDynamic, minimalDynamic, fixed, stored };
// Where they stand: before the blocks that code the rows, or halfway through the rows' bytes.
enum class PaddingPlace { beforeRows, amidRows };
// The PNG with at least `bytes` of such blocks in its compressed pixels: the same picture, its IDAT that
// much longer.
std::vector<std::uint8_t> paddedPNG(const std::vector<std::uint8_t>& png, std::size_t bytes,
                                    DeflatePadding padding, PaddingPlace place = PaddingPlace::beforeRows);

// A progressive grey JPEG of side x side (at most 65500), flat grey, of one DC scan written `scans` times
// over, Huffman-coded: each block is one code of one bit, so that the decoder spends the most on each byte
// of the scans. 1024, 3416 scans: about 7 MB.
std::vector<std::uint8_t> oneBitDCScanJPEG(int side, int scans);
// A sequential grey JPEG of side x side, Huffman-coded, every AC coefficient of every block 1: each is a
// code of one bit and one bit more.
std::vector<std::uint8_t> allACHuffmanJPEG(int side);

// And an ordinary picture to compare them with: a photograph-like RGBA PNG (opaque), 8 or 16 bits a
// sample, of broad shading and edges with `grain` levels of noise on each colour sample (in 16 bits, on the
// 16-bit value), every row Paeth-filtered and the stream deflated as writers commonly do. 4096x4096 8-bit
// with a grain of 12, 24: about 9.6, 15.6 MB.
std::vector<std::uint8_t> photographPNG(int width, int height, int bitDepth, int grain);

}  // namespace testing_support
