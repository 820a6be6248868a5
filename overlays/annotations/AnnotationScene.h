#pragma once
// The drawable form of an annotation model at one moment for one display size: shapes in display
// points (origin top-left, y down) with opacity and colour, and an optional spotlight rectangle.
// Scenes compare exactly, so a held drawing gives equal scenes and is not redrawn.
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "overlays/annotations/AnnotationModel.h"
#include "overlays/annotations/Geometry.h"

namespace Annotations {

struct AnnotationStyle {
    double lineWidth = 6;
    double arrowHeadLength = 28;
    double arrowHeadHalfWidth = 14;
    static const AnnotationStyle standard;
    bool operator==(const AnnotationStyle&) const = default;
};
inline constexpr AnnotationStyle AnnotationStyle::standard{6, 28, 14};

struct AnnotationShape {
    struct Line {
        std::vector<Point> points;
        bool operator==(const Line&) const = default;
    };
    struct Dot {
        Point point;
        bool operator==(const Dot&) const = default;
    };
    // The shaft runs from start to base; the head is the triangle tip, leftBarb, rightBarb.
    struct Arrow {
        Point start, tip, base, leftBarb, rightBarb;
        // None for a zero-length arrow.
        static std::optional<Arrow> make(Point start, Point tip, const AnnotationStyle& style);
        bool operator==(const Arrow&) const = default;
    };
    struct Box {
        Rect rect;
        bool operator==(const Box&) const = default;
    };

    std::variant<Line, Dot, Arrow, Box> kind;

    static AnnotationShape make(const AnnotationModel::Mark& mark, Size size, const AnnotationStyle& style);
    bool operator==(const AnnotationShape&) const = default;
};

struct AnnotationScene {
    struct Item {
        std::int64_t id = 0;
        AnnotationShape shape;
        double opacity = 1;
        AnnotationColor color;
        bool operator==(const Item&) const = default;
    };

    std::vector<Item> items;
    std::optional<Rect> spotlight;

    bool isEmpty() const { return items.empty() && !spotlight; }
    bool operator==(const AnnotationScene&) const = default;
};

}  // namespace Annotations
