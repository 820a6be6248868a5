#pragma once
// Draws annotation scenes with Qt: the dim with its rounded spotlight hole, then the marks with round caps
// and joins at their own opacity.
//
// What it keeps is bounded by the display, never by the marks: consecutive items of one opacity share one
// display-sized layer (marks fade together, so in practice there are one or two), and the newest item of
// the newest layer has a surface of its own, at most display-sized, so that an arrow or box being dragged
// redraws only itself and a growing pen stroke gets only its new segments drawn, at any length. Geometry
// is clipped to the display (plus the pen's reach) before it reaches the painter, so a phone's huge
// coordinates cost nothing. Kept by the overlay window and used by the rendering benchmark.
//
// Thread: one at a time (the annotation window's drawing queue); uses no pixmap or other GUI-thread object.
#include <QImage>
#include <QPainter>
#include <QRect>
#include <QRectF>
#include <QRegion>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "overlays/annotations/AnnotationScene.h"

namespace OverlayWindows {

// Where a mostly transparent surface was drawn on: per row, its first and last pixel that is not
// transparent (none when first > last).
struct InkSpan {
    int first = std::numeric_limits<int>::max();
    int last = -1;
    bool isEmpty() const { return first > last; }
    void widen(int from, int to) {
        first = std::min(first, from);
        last = std::max(last, to);
    }
};
using Ink = std::vector<InkSpan>;

class AnnotationRenderer {
  public:
    // Beyond this many layers (only a hostile timeline gets there), the oldest runs are stroked directly.
    static constexpr std::size_t maxLayers = 3;
    // Drawing a layer afresh (an older mark undone, hundreds of marks at once) goes on over several frames
    // of about this much work each, while the layer's last finished pixels stay on screen.
    static constexpr std::chrono::milliseconds frameBudget{4};
    // A coverage of more rectangles than this is given in blocks of shapeBlock pixels instead.
    static constexpr int maxShapeRects = 2000;
    static constexpr int shapeBlock = 16;

    explicit AnnotationRenderer(Annotations::AnnotationStyle style = Annotations::AnnotationStyle::standard)
        : style_(style) {}

    // Brings the layers in step with `scene` for a canvas of `size` pixels; paint() does it itself when
    // it was not done.
    void prepare(const Annotations::AnnotationScene& scene, const QSize& size);
    // Paints over what `painter` holds (clear it first), scene coordinates in the painter's units. With
    // `advance` off, a layer being drawn afresh is not taken further (the caller's prepare() does that).
    void paint(QPainter& painter, const Annotations::AnnotationScene& scene, const QRect& bounds,
               bool advance = true);
    // Forgets every layer and gives their memory back.
    void reset();
    // A layer is still being drawn afresh: paint again soon (the next prepare or paint goes on with it).
    bool hasPendingWork() const;

    // With coverage on, the renderer also keeps the region its pixels cover, for windows shaped to their
    // marks: those of at least half opacity when nothing composites the window (half-transparent edge
    // pixels would show dark rather than blended), or every pixel with any ink when a compositor does (the
    // window then looks the same, and is shaped already should the compositor go). A change redraws from
    // scratch.
    enum class Coverage { none, anyInk, halfOpaque };
    void setCoverage(Coverage coverage);
    void setTracksCoverage(bool on) { setCoverage(on ? Coverage::halfOpaque : Coverage::none); }
    // The covered pixels of the marks of layers at opacity 0.5 or more, and the spotlight's dim.
    QRegion coverage(const Annotations::AnnotationScene& scene) const;

    std::size_t surfaceBytes() const;
    std::size_t layerCount() const { return layers_.size(); }

  private:
    using Items = std::vector<Annotations::AnnotationScene::Item>;
    struct Rebuild {
        Items items;            // the run being drawn afresh
        std::size_t drawn = 0;  // items wholly drawn
        std::size_t point = 0;  // how far into the item under way (a long pen stroke goes in pieces)
        QImage image;
        QRegion covered;
        QRegion unscanned;  // drawn on, not yet scanned for coverage
        bool isNewest = false;
        QImage topImage;  // the newest item's, once the others are drawn
        QRect topRect;
    };
    struct Layer {
        std::vector<Annotations::AnnotationScene::Item> items;  // drawn into `image`
        QImage image;                                           // display-sized once something is drawn
        QRegion covered;
        std::optional<Annotations::AnnotationScene::Item> top;  // drawn into `topImage`
        QImage topImage;
        Ink topInk;     // one span per row of topImage, or empty when not known
        QRect topRect;  // where topImage goes, within the display
        QRegion topCovered;
        double opacity = 1;
        std::optional<Rebuild> rebuild;
    };
    using Deadline = std::chrono::steady_clock::time_point;

    void sync(Layer& layer, const Items& run, bool isNewest, bool keepLeading, Deadline deadline);
    void startRebuild(Layer& layer, const Items& run, bool isNewest);
    void advance(Layer& layer, Deadline deadline);
    void drawIntoBase(Layer& layer, const Annotations::AnnotationScene::Item& item);
    void fold(Layer& layer);
    void renderTop(Layer& layer, const Annotations::AnnotationScene::Item& item);
    bool extendTop(Layer& layer, const Annotations::AnnotationScene::Item& item);
    void growTop(Layer& layer, const QRect& needed);
    void noteCovered(QRegion& region, const QImage& image, const QRect& dirty, QPoint offset) const;
    // Notes what was drawn in `dirty` of the top surface: its ink, and its coverage when tracked.
    void noteTop(Layer& layer, const QRect& dirty);
    static bool hasInk(const Layer& layer);
    static void clearTop(QImage& image, const Ink& ink);
    // The layers' (or, with `tops`, their newest marks') coverage in blocks.
    QRegion coarseCoverage(bool tops) const;

    Annotations::AnnotationStyle style_;
    QSize size_;
    std::vector<Layer> layers_;
    Items direct_;     // items too many layers deep, stroked at every paint
    QImage spareTop_;  // the surface of the newest mark before this one, for the next in the same pass
    Ink spareInk_;
    struct SpotlightShape {
        QRectF hole;
        QSize canvas;
        bool operator==(const SpotlightShape&) const = default;
    };
    mutable std::optional<std::pair<SpotlightShape, QRegion>> spotlightShape_;
    std::optional<Annotations::AnnotationScene> prepared_;
    // The marks' part of coverage(), and that of all but the newest marks, made again when stale.
    mutable QRegion marksCoverage_;
    mutable QRegion baseCoverage_;
    mutable bool coverageStale_ = true;
    mutable bool baseStale_ = true;
    Coverage coverage_ = Coverage::none;
    bool tracksCoverage() const { return coverage_ != Coverage::none; }
    int minimumAlpha() const { return coverage_ == Coverage::halfOpaque ? 128 : 1; }
};

}  // namespace OverlayWindows
