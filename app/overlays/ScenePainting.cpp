#include "app/overlays/ScenePainting.h"

#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <span>
#include <variant>

#include "protocol/messages/Overloaded.h"

namespace OverlayWindows {

using Annotations::AnnotationShape;
using Item = Annotations::AnnotationScene::Item;

namespace {

// Rows of a layer drawn afresh scanned for coverage at a time.
constexpr int scanBand = 64;

// How many positions from the end a stroke whose oldest points were dropped is searched for its last
// drawn point; updates between two frames are far fewer.
constexpr std::size_t slidingSearch = 4096;

QPointF toQt(Annotations::Point p) {
    return {p.x, p.y};
}

QRectF pointsBounds(std::span<const Annotations::Point> points) {
    double minX = points[0].x, maxX = minX, minY = points[0].y, maxY = minY;
    for (auto p : points.subspan(1)) {
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    return {minX, minY, maxX - minX, maxY - minY};
}

QRectF shapeBounds(const AnnotationShape& shape) {
    return std::visit(
        TrackpadProtocol::Overloaded{
            [](const AnnotationShape::Line& line) { return pointsBounds(line.points); },
            [](const AnnotationShape::Dot& dot) { return QRectF(toQt(dot.point), QSizeF(0, 0)); },
            [](const AnnotationShape::Arrow& a) {
                const Annotations::Point corners[] = {a.start, a.tip, a.base, a.leftBarb, a.rightBarb};
                return pointsBounds(corners);
            },
            [](const AnnotationShape::Box& box) {
                return QRectF(box.rect.origin.x, box.rect.origin.y, box.rect.size.width,
                              box.rect.size.height);
            },
        },
        shape.kind);
}

// The whole pixels of the canvas that `bounds` can touch, with room for the pen and its antialiased edge.
// Clipped in double precision first, so no phone's number reaches an int.
QRect pixelsTouched(const QRectF& bounds, double lineWidth, const QSize& canvas) {
    const double margin = lineWidth / 2 + 2;
    QRectF reach = bounds.adjusted(-margin, -margin, margin, margin)
                       .intersected(QRectF(0, 0, canvas.width(), canvas.height()));
    if (reach.isEmpty())
        return {};
    return reach.toAlignedRect().intersected(QRect(QPoint(0, 0), canvas));
}

// Liang-Barsky: shortens a-b to its part inside `r`; false when nothing of it is inside.
bool clipSegment(QPointF& a, QPointF& b, const QRectF& r) {
    const double dx = b.x() - a.x(), dy = b.y() - a.y();
    double t0 = 0, t1 = 1;
    const double p[] = {-dx, dx, -dy, dy};
    const double q[] = {a.x() - r.left(), r.right() - a.x(), a.y() - r.top(), r.bottom() - a.y()};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0)
                return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1)
            return false;
    }
    const QPointF start = a;
    if (t1 < 1)
        b = QPointF(start.x() + t1 * dx, start.y() + t1 * dy);
    if (t0 > 0)
        a = QPointF(start.x() + t0 * dx, start.y() + t0 * dy);
    return true;
}

// Qt rasterises a long slanted edge slowly, at a cost that grows with the area the edge spans (1.5 ms
// for a display's diagonal); the same segment given as collinear pieces of at most this length is drawn
// ten times faster and looks the same.
constexpr double longestPiece = 64;

// Adds the segment from the run's last point to `b`, slanted ones in pieces.
void extendRun(QPolygonF& run, QPointF b) {
    const QPointF a = run.back();
    const QPointF d = b - a;
    const double length = std::hypot(d.x(), d.y());
    if (d.x() != 0 && d.y() != 0 && length > longestPiece) {
        // Clipped to the display's reach, a segment makes a few dozen pieces at most.
        const int pieces = static_cast<int>(std::min(std::ceil(length / longestPiece), 256.0));
        for (int k = 1; k < pieces; ++k)
            run << a + d * (static_cast<double>(k) / pieces);
    }
    run << b;
}

// Strokes the polyline through `points` clipped to `reach`. Outside `reach` nothing can show, and with
// round caps and joins a polyline cut into pieces looks the same as a whole one.
void drawClippedPolyline(QPainter& painter, std::span<const Annotations::Point> points, const QRectF& reach) {
    QPolygonF run;
    auto flush = [&] {
        if (run.size() >= 2)
            painter.drawPolyline(run);
        run.clear();
    };
    for (std::size_t i = 1; i < points.size(); ++i) {
        QPointF a = toQt(points[i - 1]), b = toQt(points[i]);
        const QPointF fullEnd = b;
        if (!clipSegment(a, b, reach)) {
            flush();
            continue;
        }
        if (run.isEmpty() || run.back() != a) {
            flush();
            run << a;
        }
        extendRun(run, b);
        if (b != fullEnd)
            flush();
    }
    flush();
}

QRectF reachOf(const QSize& canvas, double lineWidth) {
    const double margin = lineWidth + 2;
    return QRectF(0, 0, canvas.width(), canvas.height()).adjusted(-margin, -margin, margin, margin);
}

void preparePen(QPainter& painter, const Item& item, double lineWidth) {
    const QColor color(item.color.red, item.color.green, item.color.blue);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
}

void drawItem(QPainter& painter, const Item& item, double lineWidth, const QRectF& reach) {
    const QColor color(item.color.red, item.color.green, item.color.blue);
    preparePen(painter, item, lineWidth);
    std::visit(
        TrackpadProtocol::Overloaded{
            [&](const AnnotationShape::Line& line) { drawClippedPolyline(painter, line.points, reach); },
            [&](const AnnotationShape::Dot& dot) {
                if (!reach.contains(toQt(dot.point)))
                    return;
                painter.setPen(Qt::NoPen);
                painter.setBrush(color);
                painter.drawEllipse(toQt(dot.point), lineWidth / 2, lineWidth / 2);
            },
            [&](const AnnotationShape::Arrow& arrow) {
                const Annotations::Point shaft[] = {arrow.start, arrow.base};
                drawClippedPolyline(painter, shaft, reach);
                QPolygonF head;
                head << toQt(arrow.tip) << toQt(arrow.leftBarb) << toQt(arrow.rightBarb);
                // The head is at most a few dozen points across: wholly near the display or not drawn.
                if (!head.boundingRect().intersects(reach))
                    return;
                painter.setBrush(color);
                painter.drawPolygon(head);
            },
            [&](const AnnotationShape::Box& box) {
                const auto& r = box.rect;
                const Annotations::Point corners[] = {{r.minX(), r.minY()},
                                                      {r.maxX(), r.minY()},
                                                      {r.maxX(), r.maxY()},
                                                      {r.minX(), r.maxY()},
                                                      {r.minX(), r.minY()}};
                drawClippedPolyline(painter, corners, reach);
            },
        },
        item.shape.kind);
}

// A pen stroke of thousands of long segments takes hundreds of milliseconds to stroke: drawn afresh, it
// goes in pieces of this many points, each joined to the next by a round cap.
constexpr std::size_t piecePoints = 128;
constexpr double pieceLength = 8000;

bool isLong(const Item& item) {
    auto* line = std::get_if<AnnotationShape::Line>(&item.shape.kind);
    return line && line->points.size() > piecePoints;
}

// Draws `item` from its point `point` on, a long stroke a piece at a time until `deadline`; true once
// all of it is drawn (and `point` is back at 0).
bool drawPart(QPainter& painter, const Item& item, std::size_t& point, double lineWidth, const QRectF& reach,
              std::chrono::steady_clock::time_point deadline) {
    auto* line = std::get_if<AnnotationShape::Line>(&item.shape.kind);
    if (!line) {
        drawItem(painter, item, lineWidth, reach);
        return true;
    }
    const auto& points = line->points;
    preparePen(painter, item, lineWidth);
    while (true) {
        // A piece ends after piecePoints points or pieceLength points of stroke, whichever comes first.
        std::size_t end = point + 1;
        double length = 0;
        while (end < points.size() && end - point < piecePoints && length < pieceLength) {
            length += std::hypot(points[end].x - points[end - 1].x, points[end].y - points[end - 1].y);
            ++end;
        }
        drawClippedPolyline(painter, std::span<const Annotations::Point>(points.data() + point, end - point),
                            reach);
        if (end == points.size()) {
            point = 0;
            return true;
        }
        point = end - 1;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

bool sameDrawing(const Item& a, const Item& b) {
    return a.id == b.id && a.color == b.color && a.shape == b.shape;
}

QImage transparentImage(const QSize& size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (!image.isNull())
        image.fill(Qt::transparent);
    return image;
}

// Whether the eight pixels from `p` on are all transparent.
bool eightClear(const quint32* p) {
    return (p[0] | p[1] | p[2] | p[3] | p[4] | p[5] | p[6] | p[7]) == 0;
}

// One pass over the pixels of `rect` in `image` (premultiplied ARGB32). With `opaque`, the pixels of at
// least `minimumAlpha` are added to it, moved by `offset`. Rows with the same runs make one band,
// which is the form a region keeps, so it is built whole instead of united rectangle by rectangle. With
// `ink`, each row's span is widened to the row's first and last pixel that is not transparent.
void scanPixels(const QImage& image, const QRect& rect, QPoint offset, QRegion* opaque, Ink* ink,
                int minimumAlpha) {
    std::vector<QRect> bands;
    std::vector<std::pair<int, int>> above, runs;  // [first, last] pixels of each run in a row
    int bandTop = rect.top();
    auto closeBand = [&](int bottom) {
        for (auto [first, last] : above)
            bands.emplace_back(QPoint(first, bandTop) + offset, QPoint(last, bottom) + offset);
    };
    const int end = rect.right() + 1;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        runs.clear();
        const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
        InkSpan drawn;
        int x = rect.left();
        while (x < end) {
            // Marks are thin: most of a row is wholly transparent (0 when premultiplied), skipped
            // eight pixels at a time.
            while (x + 8 <= end && eightClear(row + x))
                x += 8;
            for (; x < end && qAlpha(row[x]) < minimumAlpha; ++x) {
                if (row[x] != 0)
                    drawn.widen(x, x);
            }
            if (x == end)
                break;
            const int first = x;
            while (x < end && qAlpha(row[x]) >= minimumAlpha)
                ++x;
            drawn.widen(first, x - 1);
            runs.emplace_back(first, x - 1);
        }
        if (ink)
            (*ink)[static_cast<std::size_t>(y)].widen(drawn.first, drawn.last);
        if (opaque && runs != above) {
            closeBand(y - 1);
            above.swap(runs);
            bandTop = y;
        }
    }
    if (!opaque)
        return;
    closeBand(rect.bottom());
    QRegion region;
    region.setRects(bands.data(), static_cast<int>(bands.size()));
    *opaque += region;
}

// Clears the pixels `ink` says were drawn. A span can run across a whole row (a box's two sides), so
// what is already clear is passed over eight pixels at a time rather than written.
void eraseInk(QImage& image, const Ink& ink) {
    for (int y = 0; y < image.height(); ++y) {
        const InkSpan span = ink[static_cast<std::size_t>(y)];
        if (span.isEmpty())
            continue;
        auto* row = reinterpret_cast<quint32*>(image.scanLine(y));
        int x = span.first;
        for (; x + 8 <= span.last + 1; x += 8) {
            if (!eightClear(row + x))
                std::fill_n(row + x, 8, 0u);
        }
        std::fill(row + x, row + span.last + 1, 0u);
    }
}

// `a` (0-255) times each channel of `pixel`, rounded as Qt's own blending rounds.
quint32 timesAlpha(quint32 pixel, quint32 a) {
    quint32 t = (pixel & 0xff00ff) * a;
    t = ((t + ((t >> 8) & 0xff00ff) + 0x800080) >> 8) & 0xff00ff;
    pixel = ((pixel >> 8) & 0xff00ff) * a;
    pixel = (pixel + ((pixel >> 8) & 0xff00ff) + 0x800080) & 0xff00ff00;
    return pixel | t;
}

// Draws `top` over `base` at `at` (premultiplied source-over), only where `ink` says `top` has pixels.
void blendInk(QImage& base, const QImage& top, QPoint at, const Ink& ink) {
    const QRect inBase = QRect(at, top.size()).intersected(base.rect());
    for (int y = inBase.top(); y <= inBase.bottom(); ++y) {
        const InkSpan span = ink[static_cast<std::size_t>(y - at.y())];
        if (span.isEmpty())
            continue;
        const int first = std::max(span.first + at.x(), inBase.left());
        const int last = std::min(span.last + at.x(), inBase.right());
        const auto* from = reinterpret_cast<const quint32*>(top.constScanLine(y - at.y()));
        auto* to = reinterpret_cast<quint32*>(base.scanLine(y));
        for (int x = first; x <= last; ++x) {
            while (x + 8 <= last + 1 && eightClear(from + (x - at.x())))
                x += 8;
            if (x > last)
                break;
            const quint32 pixel = from[x - at.x()];
            if (pixel >= 0xff000000u)
                to[x] = pixel;
            else if (pixel != 0)
                to[x] = pixel + timesAlpha(to[x], 255 - qAlpha(pixel));
        }
    }
}

// Where drawing `now` over what was drawn as `before` starts: the index of the point in `now` that was
// the last one drawn. The model drops the oldest points of a very long stroke, so the part drawn before
// may have lost its beginning; the pixels keep it.
std::optional<std::size_t> continuation(const AnnotationShape& now, const AnnotationShape& before) {
    auto* line = std::get_if<AnnotationShape::Line>(&now.kind);
    auto* old = std::get_if<AnnotationShape::Line>(&before.kind);
    if (!line || !old || old->points.empty())
        return std::nullopt;
    const auto& n = line->points;
    const auto& o = old->points;
    if (n.size() > o.size() && std::equal(o.begin(), o.end(), n.begin()))
        return o.size() - 1;
    // Searched from the end: only a few points arrive between two frames.
    const std::size_t lowest = n.size() > slidingSearch + 1 ? n.size() - 1 - slidingSearch : 0;
    for (std::size_t j = n.size() - 1; j-- > lowest;) {
        if (n[j] != o.back())
            continue;
        const std::size_t dropped = o.size() - 1 - j;
        if (dropped > 0 && dropped < o.size() && std::equal(o.begin() + dropped, o.end(), n.begin()))
            return j;
    }
    return std::nullopt;
}

}  // namespace

void AnnotationRenderer::reset() {
    layers_.clear();
    layers_.shrink_to_fit();
    direct_.clear();
    direct_.shrink_to_fit();
    spareTop_ = QImage();
    spareInk_.clear();
    spareInk_.shrink_to_fit();
    spotlightShape_.reset();
    prepared_.reset();
    baseStale_ = true;
}

void AnnotationRenderer::setCoverage(Coverage coverage) {
    if (coverage_ == coverage)
        return;
    coverage_ = coverage;
    reset();
}

std::size_t AnnotationRenderer::surfaceBytes() const {
    auto bytes = static_cast<std::size_t>(spareTop_.sizeInBytes());
    for (const auto& layer : layers_) {
        bytes += static_cast<std::size_t>(layer.image.sizeInBytes() + layer.topImage.sizeInBytes());
        if (layer.rebuild)
            bytes += static_cast<std::size_t>(layer.rebuild->image.sizeInBytes() +
                                              layer.rebuild->topImage.sizeInBytes());
    }
    return bytes;
}

void AnnotationRenderer::noteCovered(QRegion& region, const QImage& image, const QRect& dirty,
                                     QPoint offset) const {
    if (!tracksCoverage() || image.isNull())
        return;
    const QRect rect = dirty.intersected(image.rect());
    if (rect.isEmpty())
        return;
    scanPixels(image, rect, offset, &region, nullptr, minimumAlpha());
}

void AnnotationRenderer::noteTop(Layer& layer, const QRect& dirty) {
    if (layer.topImage.isNull())
        return;
    coverageStale_ = true;
    const QRect rect = dirty.intersected(layer.topImage.rect());
    if (rect == layer.topImage.rect())
        layer.topInk.assign(static_cast<std::size_t>(layer.topImage.height()), InkSpan{});
    if (rect.isEmpty())
        return;
    const bool knowsInk = layer.topInk.size() == static_cast<std::size_t>(layer.topImage.height());
    scanPixels(layer.topImage, rect, layer.topRect.topLeft(), tracksCoverage() ? &layer.topCovered : nullptr,
               knowsInk ? &layer.topInk : nullptr, minimumAlpha());
}

void AnnotationRenderer::drawIntoBase(Layer& layer, const Item& item) {
    if (layer.image.isNull())
        layer.image = transparentImage(size_);
    if (!layer.image.isNull()) {
        QPainter painter(&layer.image);
        drawItem(painter, item, style_.lineWidth, reachOf(size_, style_.lineWidth));
        painter.end();
        noteCovered(layer.covered, layer.image,
                    pixelsTouched(shapeBounds(item.shape), style_.lineWidth, size_), {});
        baseStale_ = true;
    }
    layer.items.push_back(item);
}

void AnnotationRenderer::fold(Layer& layer) {
    if (!layer.top)
        return;
    if (!layer.topImage.isNull()) {
        if (layer.image.isNull())
            layer.image = transparentImage(size_);
        // A display-sized mark is mostly transparent: only its drawn pixels are blended.
        if (hasInk(layer))
            blendInk(layer.image, layer.topImage, layer.topRect.topLeft(), layer.topInk);
        else
            QPainter(&layer.image).drawImage(layer.topRect.topLeft(), layer.topImage);
        layer.covered += layer.topCovered;
        baseStale_ = true;
    }
    layer.items.push_back(std::move(*layer.top));
    layer.top.reset();
    // The next mark's surface is most often of the same size (display-sized ones always are).
    spareTop_ = std::move(layer.topImage);
    spareInk_ = std::move(layer.topInk);
    layer.topImage = QImage();
    layer.topInk.clear();
    layer.topRect = {};
    layer.topCovered = {};
}

void AnnotationRenderer::renderTop(Layer& layer, const Item& item) {
    layer.top = item;
    layer.topRect = pixelsTouched(shapeBounds(item.shape), style_.lineWidth, size_);
    layer.topCovered = {};
    coverageStale_ = true;
    // A surface of the right size is cleared where it was drawn on, rather than made anew.
    if (layer.topRect.isEmpty()) {
        layer.topImage = QImage();
    } else if (layer.topImage.size() == layer.topRect.size()) {
        clearTop(layer.topImage, layer.topInk);
    } else if (spareTop_.size() == layer.topRect.size()) {
        layer.topImage = std::move(spareTop_);
        layer.topInk = std::move(spareInk_);
        spareTop_ = QImage();
        spareInk_.clear();
        clearTop(layer.topImage, layer.topInk);
    } else {
        layer.topImage = transparentImage(layer.topRect.size());
    }
    layer.topInk.clear();
    if (layer.topImage.isNull())
        return;
    QPainter painter(&layer.topImage);
    painter.translate(-layer.topRect.topLeft());
    drawItem(painter, item, style_.lineWidth, reachOf(size_, style_.lineWidth));
    painter.end();
    noteTop(layer, layer.topImage.rect());
}

bool AnnotationRenderer::hasInk(const Layer& layer) {
    return !layer.topImage.isNull() &&
           layer.topInk.size() == static_cast<std::size_t>(layer.topImage.height());
}

void AnnotationRenderer::clearTop(QImage& image, const Ink& ink) {
    if (ink.size() == static_cast<std::size_t>(image.height()))
        eraseInk(image, ink);
    else
        image.fill(Qt::transparent);
}

void AnnotationRenderer::growTop(Layer& layer, const QRect& needed) {
    QRect grown = layer.topRect.isEmpty() ? needed : layer.topRect.united(needed);
    if (grown == layer.topRect)
        return;
    if (!layer.topRect.isEmpty()) {
        // A stroke that keeps growing would have its surface copied at every frame: it grows by an eighth
        // of the display more on each side it grows to.
        const int dx = size_.width() / 8, dy = size_.height() / 8;
        const QRect& old = layer.topRect;
        grown.adjust(grown.left() < old.left() ? -dx : 0, grown.top() < old.top() ? -dy : 0,
                     grown.right() > old.right() ? dx : 0, grown.bottom() > old.bottom() ? dy : 0);
        grown = grown.intersected(QRect(QPoint(0, 0), size_));
    }
    QImage larger = transparentImage(grown.size());
    Ink ink;
    if (!layer.topImage.isNull()) {
        const QPoint shift = layer.topRect.topLeft() - grown.topLeft();
        QPainter(&larger).drawImage(shift, layer.topImage);
        if (hasInk(layer)) {
            ink.assign(static_cast<std::size_t>(grown.height()), InkSpan{});
            for (std::size_t y = 0; y < layer.topInk.size(); ++y) {
                const InkSpan span = layer.topInk[y];
                if (!span.isEmpty())
                    ink[y + static_cast<std::size_t>(shift.y())] = {span.first + shift.x(),
                                                                    span.last + shift.x()};
            }
        }
    } else {
        ink.assign(static_cast<std::size_t>(grown.height()), InkSpan{});
    }
    layer.topImage = std::move(larger);
    layer.topInk = std::move(ink);
    layer.topRect = grown;
}

bool AnnotationRenderer::extendTop(Layer& layer, const Item& item) {
    auto from = continuation(item.shape, layer.top->shape);
    if (!from)
        return false;
    const auto& points = std::get<AnnotationShape::Line>(item.shape.kind).points;
    std::span<const Annotations::Point> tail(points.data() + *from, points.size() - *from);
    const QRect needed = pixelsTouched(pointsBounds(tail), style_.lineWidth, size_);
    layer.top = item;
    if (needed.isEmpty())
        return true;  // wholly off the display
    growTop(layer, needed);
    if (layer.topImage.isNull())
        return true;
    QPainter painter(&layer.topImage);
    painter.translate(-layer.topRect.topLeft());
    const QColor color(item.color.red, item.color.green, item.color.blue);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, style_.lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    // Opaque segments of one colour join seamlessly, so only the new ones are drawn.
    drawClippedPolyline(painter, tail, reachOf(size_, style_.lineWidth));
    painter.end();
    noteTop(layer, needed.translated(-layer.topRect.topLeft()));
    return true;
}

void AnnotationRenderer::startRebuild(Layer& layer, const Items& run, bool isNewest) {
    QImage reuse = layer.rebuild ? std::move(layer.rebuild->image) : QImage();
    layer.rebuild = Rebuild{run, 0, 0, std::move(reuse), {}, {}, isNewest, {}, {}};
    if (!layer.rebuild->image.isNull())
        layer.rebuild->image.fill(Qt::transparent);
}

void AnnotationRenderer::advance(Layer& layer, Deadline deadline) {
    Rebuild& r = *layer.rebuild;
    const std::size_t inBase = r.isNewest && !r.items.empty() ? r.items.size() - 1 : r.items.size();
    const QRectF reach = reachOf(size_, style_.lineWidth);
    if (r.drawn < inBase) {
        if (r.image.isNull())
            r.image = transparentImage(size_);
        if (!r.image.isNull()) {
            QPainter painter(&r.image);
            // At least one piece per frame, so that it always finishes.
            do {
                const Item& item = r.items[r.drawn];
                if (!drawPart(painter, item, r.point, style_.lineWidth, reach, deadline))
                    break;
                ++r.drawn;
                if (tracksCoverage())
                    r.unscanned += pixelsTouched(shapeBounds(item.shape), style_.lineWidth, size_);
            } while (r.drawn < inBase && std::chrono::steady_clock::now() < deadline);
            painter.end();
        } else {
            r.drawn = inBase;
        }
        if (r.drawn < inBase || std::chrono::steady_clock::now() >= deadline)
            return;
    }
    // The coverage of what was drawn, scanned once when all of it is there (marks drawn over each other are
    // not scanned once each), a band of rows at a time within the frame's budget.
    while (!r.unscanned.isEmpty()) {
        const QRect bounds = r.unscanned.boundingRect();
        const QRect band(bounds.left(), bounds.top(), bounds.width(), scanBand);
        for (const QRect& rect : r.unscanned.intersected(band))
            noteCovered(r.covered, r.image, rect, {});
        r.unscanned -= band;
        if (std::chrono::steady_clock::now() >= deadline)
            return;
    }
    if (inBase < r.items.size()) {
        // The newest item keeps a surface of its own, so that it can grow or change alone afterwards.
        const Item& item = r.items.back();
        if (r.topImage.isNull() && r.point == 0) {
            r.topRect = pixelsTouched(shapeBounds(item.shape), style_.lineWidth, size_);
            if (!r.topRect.isEmpty())
                r.topImage = transparentImage(r.topRect.size());
        }
        if (!r.topImage.isNull()) {
            QPainter painter(&r.topImage);
            painter.translate(-r.topRect.topLeft());
            const bool whole = drawPart(painter, item, r.point, style_.lineWidth, reach, deadline);
            painter.end();
            if (!whole)
                return;
        }
    }
    // Done: the fresh pixels replace the old ones at once.
    Rebuild done = std::move(r);
    layer.rebuild.reset();
    layer.image = std::move(done.image);
    layer.covered = std::move(done.covered);
    baseStale_ = true;
    layer.items.assign(done.items.begin(), done.items.begin() + static_cast<std::ptrdiff_t>(inBase));
    layer.top.reset();
    layer.topImage = QImage();
    layer.topInk.clear();
    layer.topRect = {};
    layer.topCovered = {};
    if (inBase < done.items.size()) {
        layer.top = done.items.back();
        layer.topImage = std::move(done.topImage);
        layer.topRect = done.topRect;
        noteTop(layer, layer.topImage.rect());
    }
}

bool AnnotationRenderer::hasPendingWork() const {
    return std::any_of(layers_.begin(), layers_.end(),
                       [](const Layer& layer) { return layer.rebuild.has_value(); });
}

void AnnotationRenderer::sync(Layer& layer, const Items& run, bool isNewest, bool keepLeading,
                              Deadline deadline) {
    if (layer.rebuild) {
        // What is drawn already stays when it is still the start of the run; the rest follows the run.
        Rebuild& r = *layer.rebuild;
        if (r.drawn <= run.size() &&
            std::equal(r.items.begin(), r.items.begin() + static_cast<std::ptrdiff_t>(r.drawn), run.begin(),
                       sameDrawing)) {
            const std::size_t oldInBase =
                r.isNewest && !r.items.empty() ? r.items.size() - 1 : r.items.size();
            const std::size_t newInBase = isNewest && !run.empty() ? run.size() - 1 : run.size();
            // The item under way starts again when it changed; so does the newest one's surface.
            const bool sameUnderWay = r.drawn < r.items.size() && r.drawn < run.size() &&
                                      sameDrawing(r.items[r.drawn], run[r.drawn]);
            if (!sameUnderWay || (r.drawn == oldInBase) != (r.drawn == newInBase)) {
                r.point = 0;
                r.topImage = QImage();
            }
            r.items = run;
            r.isNewest = isNewest;
        } else {
            startRebuild(layer, run, isNewest);
        }
        advance(layer, deadline);
        return;
    }
    std::size_t skip = 0;
    if (keepLeading && !layer.items.empty() && !run.empty()) {
        // The model dropped its oldest marks at its cap: the pixels keep them rather than redraw all.
        auto found = std::find_if(layer.items.begin(), layer.items.end(),
                                  [&](const Item& item) { return item.id == run.front().id; });
        if (found != layer.items.end())
            skip = static_cast<std::size_t>(found - layer.items.begin());
    }
    const std::size_t inBase = layer.items.size() - skip;
    if (inBase > run.size() || !std::equal(layer.items.begin() + static_cast<std::ptrdiff_t>(skip),
                                           layer.items.end(), run.begin(), sameDrawing)) {
        startRebuild(layer, run, isNewest);
        advance(layer, deadline);
        return;
    }
    layer.items.erase(layer.items.begin(), layer.items.begin() + static_cast<std::ptrdiff_t>(skip));
    std::size_t next = inBase;
    if (layer.top) {
        if (next < run.size() && run[next].id == layer.top->id) {
            const Item& item = run[next];
            if (!sameDrawing(item, *layer.top) &&
                !(item.color == layer.top->color && extendTop(layer, item))) {
                if (isLong(item)) {
                    startRebuild(layer, run, isNewest);
                    advance(layer, deadline);
                    return;
                }
                renderTop(layer, item);
            }
            ++next;
        } else {
            // Undone: what lies below it is still right.
            layer.top.reset();
            layer.topImage = QImage();
            layer.topInk.clear();
            layer.topRect = {};
            layer.topCovered = {};
            coverageStale_ = true;
        }
    }
    for (; next < run.size(); ++next) {
        if (isLong(run[next]) || (next + 1 < run.size() && std::chrono::steady_clock::now() >= deadline)) {
            // Hundreds of marks at once, or a long stroke: the rest is drawn over the next frames.
            startRebuild(layer, run, isNewest);
            advance(layer, deadline);
            return;
        }
        if (isNewest && next + 1 == run.size()) {
            fold(layer);
            renderTop(layer, run[next]);
        } else {
            fold(layer);
            drawIntoBase(layer, run[next]);
        }
    }
    if (!isNewest)
        fold(layer);
}

void AnnotationRenderer::prepare(const Annotations::AnnotationScene& scene, const QSize& size) {
    if (size != size_) {
        reset();
        size_ = size;
    }
    const auto& items = scene.items;
    // Runs of consecutive items of one opacity: marks start fading together, so a run keeps its layer
    // and only the opacity it is composited with changes.
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i == 0 || items[i].opacity != items[i - 1].opacity)
            runs.emplace_back(i, i);
        runs.back().second = i + 1;
    }
    const bool hadDirect = !direct_.empty();
    direct_.clear();
    const std::size_t firstCached = runs.size() > maxLayers ? runs.size() - maxLayers : 0;
    for (std::size_t r = 0; r < firstCached; ++r)
        direct_.insert(direct_.end(), items.begin() + static_cast<std::ptrdiff_t>(runs[r].first),
                       items.begin() + static_cast<std::ptrdiff_t>(runs[r].second));
    const bool atCap = items.size() >= Annotations::AnnotationModel::maxMarks;

    const Deadline deadline = std::chrono::steady_clock::now() + frameBudget;
    std::vector<Layer> next;
    next.reserve(runs.size() - firstCached);
    std::size_t kept = 0;
    for (std::size_t r = firstCached; r < runs.size(); ++r) {
        Items run(items.begin() + static_cast<std::ptrdiff_t>(runs[r].first),
                  items.begin() + static_cast<std::ptrdiff_t>(runs[r].second));
        const bool keepLeading = atCap && r == firstCached;
        auto owns = [&](const Layer& layer) {
            const auto& first = layer.items.empty() ? layer.top : std::optional<Item>(layer.items.front());
            if (first && first->id == run.front().id)
                return true;
            return keepLeading && std::any_of(layer.items.begin(), layer.items.end(),
                                              [&](const Item& item) { return item.id == run.front().id; });
        };
        auto found = std::find_if(layers_.begin(), layers_.end(), owns);
        Layer layer;
        if (found != layers_.end()) {
            layer = std::move(*found);
            ++kept;
        } else {
            baseStale_ = true;
        }
        sync(layer, run, r + 1 == runs.size(), keepLeading, deadline);
        if ((layer.opacity >= 0.5) != (run.front().opacity >= 0.5))
            baseStale_ = true;
        layer.opacity = run.front().opacity;
        next.push_back(std::move(layer));
    }
    if (kept != layers_.size() || !direct_.empty() || hadDirect)
        baseStale_ = true;
    layers_ = std::move(next);
    // A spare surface is taken by the mark drawn right after the one it held, in the same pass, or not
    // at all.
    spareTop_ = QImage();
    spareInk_.clear();
    prepared_ = scene;
}

void AnnotationRenderer::paint(QPainter& painter, const Annotations::AnnotationScene& scene,
                               const QRect& bounds, bool advance) {
    if (bounds.size() != size_ || !prepared_ || (advance && hasPendingWork()) || !(*prepared_ == scene))
        prepare(scene, bounds.size());
    painter.save();
    painter.translate(bounds.topLeft());
    if (scene.spotlight) {
        const auto& spot = *scene.spotlight;
        QRectF hole(spot.origin.x, spot.origin.y, spot.size.width, spot.size.height);
        const double radius = std::min({hole.width() / 2, hole.height() / 2, 12.0});
        // Cut to the display with room for the corners, so that what the painter gets stays small.
        hole = hole.intersected(QRectF(0, 0, size_.width(), size_.height()).adjusted(-14, -14, 14, 14));
        QPainterPath dim;
        dim.setFillRule(Qt::OddEvenFill);
        dim.addRect(QRectF(0, 0, size_.width(), size_.height()));
        if (!hole.isEmpty())
            dim.addRoundedRect(hole, radius, radius);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(dim, QColor(0, 0, 0, 153));
    }
    const QRectF reach = reachOf(size_, style_.lineWidth);
    for (const auto& item : direct_) {
        painter.setOpacity(item.opacity);
        drawItem(painter, item, style_.lineWidth, reach);
    }
    for (const auto& layer : layers_) {
        painter.setOpacity(layer.opacity);
        if (!layer.image.isNull())
            painter.drawImage(QPoint(0, 0), layer.image);
        if (layer.top && !layer.topImage.isNull())
            painter.drawImage(layer.topRect.topLeft(), layer.topImage);
    }
    painter.restore();
}

QRegion AnnotationRenderer::coverage(const Annotations::AnnotationScene& scene) const {
    QRegion region;
    if (scene.spotlight) {
        const auto& spot = *scene.spotlight;
        const SpotlightShape shape{{spot.origin.x, spot.origin.y, spot.size.width, spot.size.height}, size_};
        if (!spotlightShape_ || spotlightShape_->first != shape) {
            // The same dim is shaped again at every change of the marks: made once per spotlight.
            QRectF hole = shape.hole;
            const double radius = std::min({hole.width() / 2, hole.height() / 2, 12.0});
            hole = hole.intersected(QRectF(0, 0, size_.width(), size_.height()).adjusted(-14, -14, 14, 14));
            QRegion dim(QRect(QPoint(0, 0), size_));
            if (!hole.isEmpty()) {
                QPainterPath rounded;
                rounded.addRoundedRect(hole, radius, radius);
                dim -= QRegion(rounded.toFillPolygon().toPolygon());
            }
            spotlightShape_.emplace(shape, std::move(dim));
        }
        region = spotlightShape_->second;
    }
    // Unchanged marks keep their region: a frame that only goes on with a layer drawn afresh, or moves the
    // window, does not make it again, and one that grows the newest mark adds only that mark's.
    if (baseStale_) {
        QRegion base;
        for (const auto& layer : layers_) {
            if (layer.opacity >= 0.5)
                base += layer.covered;
        }
        for (const auto& item : direct_) {
            if (item.opacity >= 0.5)
                base += pixelsTouched(shapeBounds(item.shape), style_.lineWidth, size_);
        }
        baseCoverage_ = base.rectCount() > maxShapeRects ? coarseCoverage(false) : std::move(base);
        baseStale_ = false;
        coverageStale_ = true;
    }
    if (coverageStale_) {
        QRegion tops;
        for (const auto& layer : layers_) {
            if (layer.opacity >= 0.5)
                tops += layer.topCovered;
        }
        if (tops.rectCount() > maxShapeRects)
            tops = coarseCoverage(true);
        marksCoverage_ = baseCoverage_ + tops;
        coverageStale_ = false;
    }
    return region.isEmpty() ? marksCoverage_ : region + marksCoverage_;
}

QRegion AnnotationRenderer::coarseCoverage(bool tops) const {
    // Hundreds of display-sized marks make a region of a hundred thousand rectangles, too many to send
    // the X server at every change: blocks that hold any of their pixels stand in for them.
    const QSize blocks((size_.width() + shapeBlock - 1) / shapeBlock,
                       (size_.height() + shapeBlock - 1) / shapeBlock);
    // One pixel per block, opaque where the block holds any ink; read back as a region by the same scan
    // that shapes the marks (a bitmap's region would need a pixmap, which belongs to the GUI thread).
    QImage any(blocks, QImage::Format_ARGB32_Premultiplied);
    if (any.isNull())
        return QRegion(QRect(QPoint(0, 0), size_));
    any.fill(Qt::transparent);
    auto add = [&](const QImage& image, QPoint at) {
        if (image.isNull())
            return;
        const QSize size((image.width() + shapeBlock - 1) / shapeBlock,
                         (image.height() + shapeBlock - 1) / shapeBlock);
        // Area averaging keeps a thin line's trace in every block it crosses.
        const QImage small = image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QPoint origin(at.x() / shapeBlock, at.y() / shapeBlock);
        for (int y = 0; y < small.height(); ++y) {
            const auto* row = reinterpret_cast<const QRgb*>(small.constScanLine(y));
            for (int x = 0; x < small.width(); ++x) {
                const QPoint block = origin + QPoint(x, y);
                if (qAlpha(row[x]) > 0 && any.rect().contains(block))
                    reinterpret_cast<quint32*>(any.scanLine(block.y()))[block.x()] = 0xff000000u;
            }
        }
    };
    for (const auto& layer : layers_) {
        if (layer.opacity < 0.5)
            continue;
        if (!tops)
            add(layer.image, {0, 0});
        else if (layer.top)
            add(layer.topImage, layer.topRect.topLeft());
    }
    QRegion blocksCovered;
    scanPixels(any, any.rect(), {0, 0}, &blocksCovered, nullptr, 1);
    QRegion coarse;
    for (const QRect& r : blocksCovered)
        coarse +=
            QRect(r.x() * shapeBlock, r.y() * shapeBlock, r.width() * shapeBlock, r.height() * shapeBlock);
    for (const auto& item : direct_) {
        if (!tops && item.opacity >= 0.5)
            coarse += pixelsTouched(shapeBounds(item.shape), style_.lineWidth, size_);
    }
    return coarse.intersected(QRect(QPoint(0, 0), size_));
}

}  // namespace OverlayWindows
