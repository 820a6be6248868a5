#pragma once
// Where the pointer is and where the displays are, in global screen coordinates: origin at the
// top-left corner, y growing downwards (the X root window's coordinates on Linux).
#include <optional>
#include <vector>

namespace Injector {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

// A rectangle with the usual edge rules: a negative width or height extends to the left or upwards,
// and a point on the far edges (x = maxX, y = maxY) lies outside.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;

    double minX() const { return width < 0 ? x + width : x; }
    double maxX() const { return width < 0 ? x : x + width; }
    double minY() const { return height < 0 ? y + height : y; }
    double maxY() const { return height < 0 ? y : y + height; }
    // A rectangle with a non-finite edge; also covers the infinite-origin "null" rectangle.
    bool isNull() const;
    // Null, or without area.
    bool isEmpty() const;
    bool contains(Point p) const;
};

// Thread: whichever thread owns the object; implementations keep no state the caller shares.
class ScreenGeometry {
  public:
    virtual ~ScreenGeometry() = default;
    // The pointer's location, none when the system cannot tell.
    virtual std::optional<Point> cursorLocation() = 0;
    // The active displays' bounds in the system's order; empty when they cannot be read.
    virtual std::vector<Rect> displays() = 0;
};

// Keeps a point on the displays: a point on some display stays as it is; any other point moves to
// the nearest point inside the nearest display (the earlier display wins a tie). Empty and null
// rectangles are ignored; without a usable rectangle the point is returned unchanged.
Point clampToDisplays(Point point, const std::vector<Rect>& displays);

}  // namespace Injector
