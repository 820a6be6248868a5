#pragma once
// Area averaging, the imaging library's own box filter: every destination pixel is the exact
// coverage-weighted mean of the source pixels under it, rounded to nearest, so flat colours (opaque alpha
// above all) come out unchanged. With `weightByAlpha` the colours are weighted by their alpha, so
// transparent pixels do not bleed into the edges. The source is pushed row by row, in order, and only the
// destination rows still open are held: a decoder can feed it scanlines without ever holding the whole
// source image.
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/imaging/Bitmap.h"

namespace platform::imaging {

class AreaAverager {
  public:
    // Writes into `out`, whose size is the destination's; 4 bytes a pixel on both sides.
    AreaAverager(int sourceWidth, int sourceHeight, Bitmap& out, bool weightByAlpha);
    // The next source row (sourceWidth pixels). Destination rows are written as soon as they are complete.
    void push(const std::uint8_t* row);

  private:
    // For each destination pixel along one axis, the source pixels it covers and how much of each.
    struct Coverage {
        struct Span {
            int first = 0;
            int count = 0;
            std::size_t weights = 0;  // index of the first weight
        };
        std::vector<Span> spans;
        std::vector<float> weights;
        Coverage(int source, int destination);
    };
    void filter(const std::uint8_t* row);
    void emit(int y, const std::vector<float>& sums);

    Bitmap& out_;
    bool weightByAlpha_;
    Coverage columns_;
    Coverage rows_;
    std::vector<float> filtered_;
    int nextSourceRow_ = 0;
    int firstOpenRow_ = 0;                 // the destination row the front accumulator belongs to
    std::deque<std::vector<float>> open_;  // accumulators of destination rows begun, not yet written
};

}  // namespace platform::imaging
