#include "app/overlays/ScenePainting.h"

#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <unordered_set>
#include <variant>

#include "TrackpadProtocol/Overloaded.h"

namespace OverlayWindows {

using Annotations::AnnotationShape;

namespace {

QPointF toQt(Annotations::Point p) {
    return {p.x, p.y};
}

QRectF pointsBounds(const std::vector<Annotations::Point>& points, std::size_t from) {
    double minX = points[from].x, maxX = minX, minY = points[from].y, maxY = minY;
    for (std::size_t i = from + 1; i < points.size(); ++i) {
        minX = std::min(minX, points[i].x);
        maxX = std::max(maxX, points[i].x);
        minY = std::min(minY, points[i].y);
        maxY = std::max(maxY, points[i].y);
    }
    return {minX, minY, maxX - minX, maxY - minY};
}

QRectF shapeBounds(const AnnotationShape& shape) {
    return std::visit(
        TrackpadProtocol::Overloaded{
            [](const AnnotationShape::Line& line) { return pointsBounds(line.points, 0); },
            [](const AnnotationShape::Dot& dot) { return QRectF(toQt(dot.point), QSizeF(0, 0)); },
            [](const AnnotationShape::Arrow& a) {
                return pointsBounds({a.start, a.tip, a.base, a.leftBarb, a.rightBarb}, 0);
            },
            [](const AnnotationShape::Box& box) {
                return QRectF(box.rect.origin.x, box.rect.origin.y, box.rect.size.width,
                              box.rect.size.height);
            },
        },
        shape.kind);
}

// Whole pixels around `bounds` with room for the line's width and its antialiased edge.
QRect padded(const QRectF& bounds, double lineWidth) {
    const double margin = lineWidth / 2 + 2;
    return bounds.adjusted(-margin, -margin, margin, margin).toAlignedRect();
}

QPainter& prepared(QPainter& painter, const QColor& color, double lineWidth) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    return painter;
}

void drawShape(QPainter& painter, const AnnotationShape& shape, const QColor& color, double lineWidth) {
    std::visit(TrackpadProtocol::Overloaded{
                   [&](const AnnotationShape::Line& line) {
                       QPolygonF points;
                       points.reserve(static_cast<qsizetype>(line.points.size()));
                       for (auto p : line.points)
                           points << toQt(p);
                       painter.drawPolyline(points);
                   },
                   [&](const AnnotationShape::Dot& dot) {
                       painter.setPen(Qt::NoPen);
                       painter.setBrush(color);
                       painter.drawEllipse(toQt(dot.point), lineWidth / 2, lineWidth / 2);
                   },
                   [&](const AnnotationShape::Arrow& arrow) {
                       painter.drawLine(toQt(arrow.start), toQt(arrow.base));
                       QPainterPath head;
                       head.moveTo(toQt(arrow.tip));
                       head.lineTo(toQt(arrow.leftBarb));
                       head.lineTo(toQt(arrow.rightBarb));
                       head.closeSubpath();
                       painter.setBrush(color);
                       painter.drawPath(head);
                   },
                   [&](const AnnotationShape::Box& box) {
                       painter.drawRect(QRectF(box.rect.origin.x, box.rect.origin.y, box.rect.size.width,
                                               box.rect.size.height));
                   },
               },
               shape.kind);
}

// A pen line that only gained points at its end since it was drawn.
bool extends(const AnnotationShape& now, const AnnotationShape& before) {
    auto* line = std::get_if<AnnotationShape::Line>(&now.kind);
    auto* old = std::get_if<AnnotationShape::Line>(&before.kind);
    return line && old && line->points.size() > old->points.size() &&
           std::equal(old->points.begin(), old->points.end(), line->points.begin());
}

}  // namespace

const AnnotationRenderer::Mark& AnnotationRenderer::update(const Annotations::AnnotationScene::Item& item) {
    const QColor color(item.color.red, item.color.green, item.color.blue);
    auto found = marks_.find(item.id);
    if (found != marks_.end() && found->second.color == item.color) {
        Mark& mark = found->second;
        if (mark.shape == item.shape)
            return mark;
        if (extends(item.shape, mark.shape)) {
            // Opaque segments in one colour join seamlessly, so only the new ones are drawn.
            const auto& points = std::get<AnnotationShape::Line>(item.shape.kind).points;
            const std::size_t from = std::get<AnnotationShape::Line>(mark.shape.kind).points.size() - 1;
            const QRect grown = mark.rect.united(padded(pointsBounds(points, from), style_.lineWidth));
            if (grown != mark.rect) {
                QImage larger(grown.size(), QImage::Format_ARGB32_Premultiplied);
                larger.fill(Qt::transparent);
                QPainter(&larger).drawImage(mark.rect.topLeft() - grown.topLeft(), mark.image);
                mark.image = std::move(larger);
                mark.rect = grown;
            }
            QPainter painter(&mark.image);
            painter.translate(-mark.rect.topLeft());
            prepared(painter, color, style_.lineWidth);
            QPolygonF tail;
            for (std::size_t i = from; i < points.size(); ++i)
                tail << toQt(points[i]);
            painter.drawPolyline(tail);
            mark.shape = item.shape;
            return mark;
        }
    }
    Mark mark{item.shape, item.color, {}, padded(shapeBounds(item.shape), style_.lineWidth)};
    mark.image = QImage(mark.rect.size(), QImage::Format_ARGB32_Premultiplied);
    mark.image.fill(Qt::transparent);
    QPainter painter(&mark.image);
    painter.translate(-mark.rect.topLeft());
    drawShape(prepared(painter, color, style_.lineWidth), item.shape, color, style_.lineWidth);
    painter.end();
    return marks_[item.id] = std::move(mark);
}

void AnnotationRenderer::paint(QPainter& painter, const Annotations::AnnotationScene& scene,
                               const QRect& bounds) {
    if (scene.spotlight) {
        const auto& spot = *scene.spotlight;
        QRectF hole(spot.origin.x, spot.origin.y, spot.size.width, spot.size.height);
        double radius = std::min({hole.width() / 2, hole.height() / 2, 12.0});
        QPainterPath dim;
        dim.setFillRule(Qt::OddEvenFill);
        dim.addRect(QRectF(bounds));
        dim.addRoundedRect(hole, radius, radius);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(dim, QColor(0, 0, 0, 153));
    }
    std::unordered_set<std::int64_t> shown;
    for (const auto& item : scene.items) {
        shown.insert(item.id);
        const Mark& mark = update(item);
        painter.setOpacity(item.opacity);
        painter.drawImage(mark.rect.topLeft(), mark.image);
    }
    painter.setOpacity(1);
    std::erase_if(marks_, [&](const auto& entry) { return !shown.contains(entry.first); });
}

}  // namespace OverlayWindows
