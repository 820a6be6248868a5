#include "injector/ScreenGeometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace Injector {

bool Rect::isNull() const {
    return !std::isfinite(x) || !std::isfinite(y) || !std::isfinite(width) || !std::isfinite(height);
}

bool Rect::isEmpty() const {
    return isNull() || width == 0 || height == 0;
}

bool Rect::contains(Point p) const {
    return !isEmpty() && minX() <= p.x && p.x < maxX() && minY() <= p.y && p.y < maxY();
}

Point clampToDisplays(Point point, const std::vector<Rect>& displays) {
    double best = std::numeric_limits<double>::infinity();
    Point result = point;
    bool usable = false;
    for (const Rect& display : displays) {
        if (display.isEmpty()) {
            continue;
        }
        if (display.contains(point)) {
            return point;
        }
        usable = true;
    }
    if (!usable) {
        return point;
    }
    for (const Rect& display : displays) {
        if (display.isEmpty()) {
            continue;
        }
        // The far edges are one point inside, so the result always lies on a display; a display
        // narrower than one point collapses to its near edge.
        const double cx =
            std::min(std::max(display.minX(), display.maxX() - 1), std::max(point.x, display.minX()));
        const double cy =
            std::min(std::max(display.minY(), display.maxY() - 1), std::max(point.y, display.minY()));
        const double distance = std::hypot(cx - point.x, cy - point.y);
        if (distance < best) {
            best = distance;
            result = {cx, cy};
        }
    }
    return result;
}

}  // namespace Injector
