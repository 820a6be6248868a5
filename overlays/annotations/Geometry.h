#pragma once
// Double-precision geometry of the overlays: points of a display or of the global screen space, with
// the origin at the top-left and y growing downwards.
#include <algorithm>
#include <cmath>

namespace Annotations {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0;
    double height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    Point origin;
    Size size;

    // The rectangle spanned by two corners, whichever way round they are given.
    static Rect spanning(Point a, Point b) {
        return Rect{{std::min(a.x, b.x), std::min(a.y, b.y)}, {std::fabs(b.x - a.x), std::fabs(b.y - a.y)}};
    }
    double minX() const { return origin.x; }
    double minY() const { return origin.y; }
    double maxX() const { return origin.x + size.width; }
    double maxY() const { return origin.y + size.height; }
    double midX() const { return origin.x + size.width / 2; }
    double midY() const { return origin.y + size.height / 2; }
    bool contains(Point p) const { return p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY(); }
    bool operator==(const Rect&) const = default;
};

}  // namespace Annotations
