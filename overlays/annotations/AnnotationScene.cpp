#include "overlays/annotations/AnnotationScene.h"

#include <algorithm>
#include <cmath>

namespace Annotations {

namespace {

// A phone may send any float. Kept within a million display sizes of the display, a shape still points
// where it pointed on the display (to far below a pixel), while its corners and sizes stay exact enough
// in double precision that the display-sized part of it survives.
constexpr double farthest = 1e6;

Point scaled(AnnotationPoint p, Size size) {
    return {std::clamp(static_cast<double>(p.x), -farthest, farthest) * size.width,
            std::clamp(static_cast<double>(p.y), -farthest, farthest) * size.height};
}

}  // namespace

std::optional<AnnotationShape::Arrow> AnnotationShape::Arrow::make(Point start, Point tip,
                                                                   const AnnotationStyle& style) {
    double dx = tip.x - start.x;
    double dy = tip.y - start.y;
    double q = dx * dx + dy * dy;
    if (!(q > 0))
        return std::nullopt;
    double length = std::sqrt(q);
    // The head never takes more than half the arrow and keeps its proportions when it shrinks.
    double head = std::min(length * 0.5, style.arrowHeadLength);
    double half = style.arrowHeadHalfWidth * head / style.arrowHeadLength;
    double ux = dx / length;
    double uy = dy / length;
    Point base{tip.x - ux * head, tip.y - uy * head};
    Point offset{uy * half, -ux * half};
    return Arrow{
        start, tip, base, {base.x + offset.x, base.y + offset.y}, {base.x - offset.x, base.y - offset.y}};
}

AnnotationShape AnnotationShape::make(const AnnotationModel::Mark& mark, Size size,
                                      const AnnotationStyle& style) {
    switch (mark.tool) {
        case AnnotationTool::pen: {
            if (mark.points.size() == 1)
                return {Dot{scaled(mark.points.front(), size)}};
            Line line;
            line.points.reserve(mark.points.size());
            for (auto p : mark.points)
                line.points.push_back(scaled(p, size));
            return {std::move(line)};
        }
        case AnnotationTool::arrow: {
            Point start = scaled(mark.startPoint(), size);
            Point tip = scaled(mark.endPoint(), size);
            if (auto arrow = Arrow::make(start, tip, style))
                return {*arrow};
            return {Dot{tip}};
        }
        case AnnotationTool::box:
        case AnnotationTool::spotlight:
            break;
    }
    return {Box{Rect::spanning(scaled(mark.startPoint(), size), scaled(mark.endPoint(), size))}};
}

AnnotationScene AnnotationModel::scene(Size size, double now, const AnnotationStyle& style) const {
    AnnotationScene scene;
    scene.items.reserve(marks_.size());
    for (const auto& mark : marks_) {
        double alpha = opacity(mark, now);
        if (!(alpha > 0))
            continue;
        scene.items.push_back({mark.id, AnnotationShape::make(mark, size, style), alpha, mark.color});
    }
    if (spotlight_ && spansMinimumExtent(spotlight_->startPoint(), spotlight_->endPoint())) {
        scene.spotlight =
            Rect::spanning(scaled(spotlight_->startPoint(), size), scaled(spotlight_->endPoint(), size));
    }
    return scene;
}

}  // namespace Annotations
