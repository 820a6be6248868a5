#pragma once
// The steps of a decode before and after its rows, looking at its DecodeWatch as the rows do: a stop
// raised, or the CPU time past the backstop, while it reads a long header, shrinks an image it held whole
// or turns the result upright ends the decode as it would between two rows.
// Thread: the decoding thread's own.
#include <cstddef>
#include <optional>
#include <utility>

#include "platform/imaging/Bitmap.h"
#include "platform/imaging/DecodeWatch.h"

namespace platform::imaging {

// The header's first bytes are read without a look, however long it is: an ordinary header is read in
// well under a millisecond, and a flag raised before a decode begins then lets its work be counted first,
// so that a file the count refuses is refused as tooMuchWork, not stopped (tests and bench/png_work tell
// the two apart so). Millions of segments or chunks before the pixels are still left soon after.
inline constexpr std::size_t unwatchedHeaderBytes = 64 * 1024;

// The error a decode ends with for what its watch said: none to go on.
inline std::optional<ImageError> endingOf(DecodeWatch::Verdict verdict) {
    switch (verdict) {
        case DecodeWatch::stopped:
            return ImageError::stopped;
        case DecodeWatch::overTime:
            return ImageError::tooMuchWork;
        case DecodeWatch::carryOn:
            break;
    }
    return std::nullopt;
}

// A decode's watch as the steps over its whole image look at it.
class DecodeStepWatch final : public StepWatch {
  public:
    explicit DecodeStepWatch(DecodeWatch& watch) : watch_(watch) {}
    std::optional<ImageError> look() override { return endingOf(watch_.check()); }

  private:
    DecodeWatch& watch_;
};

// The rows read shrunk to `fitted` when that is smaller (an image held whole to be shrunk; the rows are let
// go before the result is turned), then turned upright by `orientation`.
ImageResult<Bitmap> finishRows(Bitmap rows, Size fitted, Orientation orientation, StepWatch& watch);

inline ImageResult<Bitmap> finishRows(Bitmap rows, Size fitted, Orientation orientation, DecodeWatch& watch) {
    DecodeStepWatch steps(watch);
    return finishRows(std::move(rows), fitted, orientation, steps);
}

}  // namespace platform::imaging
