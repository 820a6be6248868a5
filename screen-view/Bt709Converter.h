#pragma once
// BGRX (full-range sRGB) to I420 BT.709 limited range at the same size, in one pass over the pixels:
// each pair of rows yields two rows of Y and one row each of U and V (filtered as libswscale filters them).
// 15-bit fixed point, so the result is within one level of the exact value. AVX2 or SSSE3 where the
// processor has them, chosen at run time; plain C++ otherwise. All three give the same bytes.
//
// Thread: any; it keeps no state.
#include <cstdint>

#include "screen-view/PixelBuffers.h"

namespace ScreenView::Bt709Converter {

// Converts what rows [firstRow, endRow) of `bgrx` (the frame's size, `stride` bytes per row) feed into
// `out`: those rows of Y and the chroma rows that read them (so the band widens by a row or two each side),
// clipped to the frame.
void convertRows(const std::uint8_t* bgrx, int stride, VideoFrame& out, int firstRow, int endRow);

enum class Instructions { plain, ssse3, avx2 };
// The same with the given instructions; false (nothing done) when the processor lacks them.
bool convertRowsUsing(Instructions instructions, const std::uint8_t* bgrx, int stride, VideoFrame& out,
                      int firstRow, int endRow);
// What convertRows uses on this processor.
Instructions bestInstructions();

}  // namespace ScreenView::Bt709Converter
