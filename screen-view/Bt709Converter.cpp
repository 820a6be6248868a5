#include "screen-view/Bt709Converter.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LUMIVEX_X86 1
#endif

namespace ScreenView::Bt709Converter {

namespace {

// BT.709 (Kr 0.2126, Kb 0.0722), limited range, in the pixel's byte order B, G, R, times 2^15:
// Y = 16 + 219/255 (Kr R + Kg G + Kb B); Cb and Cr = 128 + 224/255 (B - Y') / (2 (1 - Kb)) and
// (R - Y') / (2 (1 - Kr)). Rounded so that each chroma row sums to exactly 0: grey stays at 128.
constexpr int yB = 2032, yG = 20127, yR = 5983;
constexpr int uB = 14392, uG = -11094, uR = -3298;
constexpr int vB = -1320, vG = -13072, vR = 14392;
constexpr int yBias = (16 << 15) + (1 << 14);
// Chroma is filtered as libswscale does it, so that the stream looks as it did: the two pixels of a
// column pair averaged, and rows weighted 1, 3, 3, 1 around the pair (rows 2j-1 to 2j+2 for chroma row
// j; edges repeat the outer row). The weights sum to 16: four more bits to shift out.
constexpr int chromaShift = 19;
constexpr int chromaBias = (128 << chromaShift) + (1 << (chromaShift - 1));

inline std::uint8_t lumaOf(const std::uint8_t* p) {
    return static_cast<std::uint8_t>((yB * p[0] + yG * p[1] + yR * p[2] + yBias) >> 15);
}

struct RowPair {
    const std::uint8_t* above;  // row 2j-1 (row 0 repeated at the top)
    const std::uint8_t* top;
    const std::uint8_t* bottom;
    const std::uint8_t* below;  // row 2j+2 (the last row repeated at the bottom)
    std::uint8_t* yTop;
    std::uint8_t* yBottom;
    std::uint8_t* u;
    std::uint8_t* v;
};

// Columns [x, width) of one pair of rows, two pixels at a time.
void rowPairPlain(const RowPair& r, int x, int width) {
    for (; x + 1 < width; x += 2) {
        const std::uint8_t* a = r.top + 4 * x;
        const std::uint8_t* b = r.bottom + 4 * x;
        const std::uint8_t* above = r.above + 4 * x;
        const std::uint8_t* below = r.below + 4 * x;
        r.yTop[x] = lumaOf(a);
        r.yTop[x + 1] = lumaOf(a + 4);
        r.yBottom[x] = lumaOf(b);
        r.yBottom[x + 1] = lumaOf(b + 4);
        int sum[3];
        for (int c = 0; c < 3; ++c) {
            sum[c] =
                above[c] + above[c + 4] + 3 * (a[c] + a[c + 4] + b[c] + b[c + 4]) + below[c] + below[c + 4];
        }
        r.u[x / 2] =
            static_cast<std::uint8_t>((uB * sum[0] + uG * sum[1] + uR * sum[2] + chromaBias) >> chromaShift);
        r.v[x / 2] =
            static_cast<std::uint8_t>((vB * sum[0] + vG * sum[1] + vR * sum[2] + chromaBias) >> chromaShift);
    }
}

#ifdef LUMIVEX_X86
// Eight luma values from eight pixels widened to 16 bits, two per vector.
__attribute__((target("ssse3"), always_inline)) inline __m128i luma8(__m128i p01, __m128i p23, __m128i p45,
                                                                     __m128i p67, __m128i cY, __m128i biasY) {
    __m128i low = _mm_hadd_epi32(_mm_madd_epi16(p01, cY), _mm_madd_epi16(p23, cY));
    __m128i high = _mm_hadd_epi32(_mm_madd_epi16(p45, cY), _mm_madd_epi16(p67, cY));
    low = _mm_srai_epi32(_mm_add_epi32(low, biasY), 15);
    high = _mm_srai_epi32(_mm_add_epi32(high, biasY), 15);
    const __m128i words = _mm_packs_epi32(low, high);
    return _mm_packus_epi16(words, words);
}

// Eight pixels of two rows per step, in the same arithmetic as the plain loop (so the results are equal
// bit for bit): pixels widened to 16 bits, multiplied and summed in pairs into 32 bits.
__attribute__((target("ssse3"))) void rowPairSsse3(const RowPair& r, int x, int width) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i three = _mm_set1_epi16(3);
    const __m128i cY = _mm_setr_epi16(yB, yG, yR, 0, yB, yG, yR, 0);
    const __m128i cU = _mm_setr_epi16(uB, uG, uR, 0, uB, uG, uR, 0);
    const __m128i cV = _mm_setr_epi16(vB, vG, vR, 0, vB, vG, vR, 0);
    const __m128i biasY = _mm_set1_epi32(yBias);
    const __m128i biasC = _mm_set1_epi32(chromaBias);
    auto load = [](const std::uint8_t* row, int x, int offset) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x + offset));
    };
    for (; x + 8 <= width; x += 8) {
        const __m128i t0 = load(r.top, x, 0), t1 = load(r.top, x, 16);
        const __m128i b0 = load(r.bottom, x, 0), b1 = load(r.bottom, x, 16);
        const __m128i t01 = _mm_unpacklo_epi8(t0, zero), t23 = _mm_unpackhi_epi8(t0, zero);
        const __m128i t45 = _mm_unpacklo_epi8(t1, zero), t67 = _mm_unpackhi_epi8(t1, zero);
        const __m128i b01 = _mm_unpacklo_epi8(b0, zero), b23 = _mm_unpackhi_epi8(b0, zero);
        const __m128i b45 = _mm_unpacklo_epi8(b1, zero), b67 = _mm_unpackhi_epi8(b1, zero);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(r.yTop + x), luma8(t01, t23, t45, t67, cY, biasY));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(r.yBottom + x), luma8(b01, b23, b45, b67, cY, biasY));
        // Column sums weighted 1, 3, 3, 1 (at most 2040), then the two columns of each block:
        // [block 0 | block 1] and [block 2 | block 3].
        const __m128i a0 = load(r.above, x, 0), a1 = load(r.above, x, 16);
        const __m128i l0 = load(r.below, x, 0), l1 = load(r.below, x, 16);
        auto column = [&](__m128i top, __m128i bottom, __m128i above, __m128i below) {
            return _mm_add_epi16(_mm_add_epi16(above, below),
                                 _mm_mullo_epi16(_mm_add_epi16(top, bottom), three));
        };
        const __m128i s01 = column(t01, b01, _mm_unpacklo_epi8(a0, zero), _mm_unpacklo_epi8(l0, zero));
        const __m128i s23 = column(t23, b23, _mm_unpackhi_epi8(a0, zero), _mm_unpackhi_epi8(l0, zero));
        const __m128i s45 = column(t45, b45, _mm_unpacklo_epi8(a1, zero), _mm_unpacklo_epi8(l1, zero));
        const __m128i s67 = column(t67, b67, _mm_unpackhi_epi8(a1, zero), _mm_unpackhi_epi8(l1, zero));
        const __m128i q01 = _mm_add_epi16(_mm_unpacklo_epi64(s01, s23), _mm_unpackhi_epi64(s01, s23));
        const __m128i q23 = _mm_add_epi16(_mm_unpacklo_epi64(s45, s67), _mm_unpackhi_epi64(s45, s67));
        __m128i cb = _mm_hadd_epi32(_mm_madd_epi16(q01, cU), _mm_madd_epi16(q23, cU));
        __m128i cr = _mm_hadd_epi32(_mm_madd_epi16(q01, cV), _mm_madd_epi16(q23, cV));
        cb = _mm_srai_epi32(_mm_add_epi32(cb, biasC), chromaShift);
        cr = _mm_srai_epi32(_mm_add_epi32(cr, biasC), chromaShift);
        const __m128i words = _mm_packs_epi32(cb, cr);
        const __m128i bytes = _mm_packus_epi16(words, words);
        const int cbBytes = _mm_cvtsi128_si32(bytes);
        const int crBytes = _mm_cvtsi128_si32(_mm_srli_si128(bytes, 4));
        std::memcpy(r.u + x / 2, &cbBytes, 4);
        std::memcpy(r.v + x / 2, &crBytes, 4);
    }
    rowPairPlain(r, x, width);
}

#define LUMIVEX_AVX2 __attribute__((target("avx2"), always_inline)) inline

// Pixels x+offset..x+offset+3 in lane 0 and x+8+offset.. in lane 1.
LUMIVEX_AVX2 __m256i loadAvx2(const std::uint8_t* row, int x, int offset) {
    const std::uint8_t* p = row + 4 * x + offset;
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32)), 1);
}

LUMIVEX_AVX2 __m128i lumaAvx2(__m256i p01, __m256i p23, __m256i p45, __m256i p67, __m256i cY, __m256i biasY) {
    __m256i low = _mm256_hadd_epi32(_mm256_madd_epi16(p01, cY), _mm256_madd_epi16(p23, cY));
    __m256i high = _mm256_hadd_epi32(_mm256_madd_epi16(p45, cY), _mm256_madd_epi16(p67, cY));
    low = _mm256_srai_epi32(_mm256_add_epi32(low, biasY), 15);
    high = _mm256_srai_epi32(_mm256_add_epi32(high, biasY), 15);
    const __m256i words = _mm256_packs_epi32(low, high);
    // Bytes 0-7 of each lane hold pixels 0-7 and 8-15.
    return _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi16(words, words), 0x08));
}

LUMIVEX_AVX2 __m256i columnAvx2(__m256i top, __m256i bottom, __m256i above, __m256i below) {
    return _mm256_add_epi16(_mm256_add_epi16(above, below),
                            _mm256_mullo_epi16(_mm256_add_epi16(top, bottom), _mm256_set1_epi16(3)));
}

// The same steps on sixteen pixels: each 128-bit lane does what the SSSE3 loop does on eight (lane 0
// pixels 0-7, lane 1 pixels 8-15), so no step crosses lanes until the results are stored.
__attribute__((target("avx2"))) void rowPairAvx2(const RowPair& r, int width) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i cY = _mm256_setr_epi16(yB, yG, yR, 0, yB, yG, yR, 0, yB, yG, yR, 0, yB, yG, yR, 0);
    const __m256i cU = _mm256_setr_epi16(uB, uG, uR, 0, uB, uG, uR, 0, uB, uG, uR, 0, uB, uG, uR, 0);
    const __m256i cV = _mm256_setr_epi16(vB, vG, vR, 0, vB, vG, vR, 0, vB, vG, vR, 0, vB, vG, vR, 0);
    const __m256i biasY = _mm256_set1_epi32(yBias);
    const __m256i biasC = _mm256_set1_epi32(chromaBias);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i t0 = loadAvx2(r.top, x, 0), t1 = loadAvx2(r.top, x, 16);
        const __m256i b0 = loadAvx2(r.bottom, x, 0), b1 = loadAvx2(r.bottom, x, 16);
        const __m256i t01 = _mm256_unpacklo_epi8(t0, zero), t23 = _mm256_unpackhi_epi8(t0, zero);
        const __m256i t45 = _mm256_unpacklo_epi8(t1, zero), t67 = _mm256_unpackhi_epi8(t1, zero);
        const __m256i b01 = _mm256_unpacklo_epi8(b0, zero), b23 = _mm256_unpackhi_epi8(b0, zero);
        const __m256i b45 = _mm256_unpacklo_epi8(b1, zero), b67 = _mm256_unpackhi_epi8(b1, zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r.yTop + x), lumaAvx2(t01, t23, t45, t67, cY, biasY));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r.yBottom + x), lumaAvx2(b01, b23, b45, b67, cY, biasY));
        const __m256i a0 = loadAvx2(r.above, x, 0), a1 = loadAvx2(r.above, x, 16);
        const __m256i l0 = loadAvx2(r.below, x, 0), l1 = loadAvx2(r.below, x, 16);
        const __m256i s01 =
            columnAvx2(t01, b01, _mm256_unpacklo_epi8(a0, zero), _mm256_unpacklo_epi8(l0, zero));
        const __m256i s23 =
            columnAvx2(t23, b23, _mm256_unpackhi_epi8(a0, zero), _mm256_unpackhi_epi8(l0, zero));
        const __m256i s45 =
            columnAvx2(t45, b45, _mm256_unpacklo_epi8(a1, zero), _mm256_unpacklo_epi8(l1, zero));
        const __m256i s67 =
            columnAvx2(t67, b67, _mm256_unpackhi_epi8(a1, zero), _mm256_unpackhi_epi8(l1, zero));
        const __m256i q01 =
            _mm256_add_epi16(_mm256_unpacklo_epi64(s01, s23), _mm256_unpackhi_epi64(s01, s23));
        const __m256i q23 =
            _mm256_add_epi16(_mm256_unpacklo_epi64(s45, s67), _mm256_unpackhi_epi64(s45, s67));
        __m256i cb = _mm256_hadd_epi32(_mm256_madd_epi16(q01, cU), _mm256_madd_epi16(q23, cU));
        __m256i cr = _mm256_hadd_epi32(_mm256_madd_epi16(q01, cV), _mm256_madd_epi16(q23, cV));
        cb = _mm256_srai_epi32(_mm256_add_epi32(cb, biasC), chromaShift);
        cr = _mm256_srai_epi32(_mm256_add_epi32(cr, biasC), chromaShift);
        const __m256i words = _mm256_packs_epi32(cb, cr);
        // Per lane: Cb of four blocks, Cr of four blocks; gathered into Cb 0-7, Cr 0-7.
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words),
                                                          _mm256_setr_epi32(0, 4, 1, 5, 0, 0, 0, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(r.u + x / 2), _mm256_castsi256_si128(bytes));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(r.v + x / 2),
                         _mm_srli_si128(_mm256_castsi256_si128(bytes), 8));
    }
    rowPairSsse3(r, x, width);
}

bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

bool hasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
#endif

template <class Convert>
void convertWith(Convert convertPair, const std::uint8_t* bgrx, int stride, VideoFrame& out, int firstRow,
                 int endRow) {
    // A source row also feeds the chroma of the pairs above and below it.
    firstRow = std::max((firstRow - 1) & ~1, 0);
    endRow = std::min((endRow + 2) & ~1, out.height());
    const int last = out.height() - 1;
    auto row = [&](int y) { return bgrx + static_cast<std::ptrdiff_t>(std::clamp(y, 0, last)) * stride; };
    for (int y = firstRow; y < endRow; y += 2) {
        const RowPair pair{row(y - 1),
                           row(y),
                           row(y + 1),
                           row(y + 2),
                           out.dataY() + static_cast<std::ptrdiff_t>(y) * out.strideY(),
                           out.dataY() + static_cast<std::ptrdiff_t>(y + 1) * out.strideY(),
                           out.dataU() + static_cast<std::ptrdiff_t>(y / 2) * out.strideUV(),
                           out.dataV() + static_cast<std::ptrdiff_t>(y / 2) * out.strideUV()};
        convertPair(pair, out.width());
    }
}

}  // namespace

bool convertRowsUsing(Instructions instructions, const std::uint8_t* bgrx, int stride, VideoFrame& out,
                      int firstRow, int endRow) {
    switch (instructions) {
        case Instructions::plain:
            convertWith([](const RowPair& pair, int width) { rowPairPlain(pair, 0, width); }, bgrx, stride,
                        out, firstRow, endRow);
            return true;
        case Instructions::ssse3:
#ifdef LUMIVEX_X86
            if (hasSsse3()) {
                convertWith([](const RowPair& pair, int width) { rowPairSsse3(pair, 0, width); }, bgrx,
                            stride, out, firstRow, endRow);
                return true;
            }
#endif
            return false;
        case Instructions::avx2:
#ifdef LUMIVEX_X86
            if (hasAvx2()) {
                convertWith(rowPairAvx2, bgrx, stride, out, firstRow, endRow);
                return true;
            }
#endif
            return false;
    }
    return false;
}

Instructions bestInstructions() {
#ifdef LUMIVEX_X86
    if (hasAvx2()) {
        return Instructions::avx2;
    }
    if (hasSsse3()) {
        return Instructions::ssse3;
    }
#endif
    return Instructions::plain;
}

void convertRows(const std::uint8_t* bgrx, int stride, VideoFrame& out, int firstRow, int endRow) {
    convertRowsUsing(bestInstructions(), bgrx, stride, out, firstRow, endRow);
}

}  // namespace ScreenView::Bt709Converter
