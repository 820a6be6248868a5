#include "platform/imaging/DecodeSteps.h"

#include <utility>

namespace platform::imaging {

ImageResult<Bitmap> finishRows(Bitmap rows, Size fitted, Orientation orientation, StepWatch& watch) {
    if (fitted.width != rows.width() || fitted.height != rows.height()) {
        auto scaled = scale(rows.view(), fitted.width, fitted.height, ScaleFilter::box, &watch);
        if (!scaled)
            return scaled.error();
        rows = std::move(*scaled);
    }
    if (orientation == Orientation::up)
        return rows;
    return applyOrientation(rows.view(), orientation, &watch);
}

}  // namespace platform::imaging
