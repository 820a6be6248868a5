#pragma once
// Draws annotation scenes with Qt: the dim with its rounded spotlight hole, then the marks with round caps
// and joins at their own opacity. Stroking a thick antialiased line costs about a millisecond per hundred
// points, so each mark is rasterised once into an image of its own (opaque, in its colour) and only
// composited afterwards at its opacity; a pen stroke that grows gets only its new segments drawn. Kept by
// the overlay window and used by the rendering benchmark.
//
// Thread: the one that paints (Qt's main thread).
#include <QImage>
#include <QPainter>
#include <QRect>
#include <cstdint>
#include <unordered_map>

#include "overlays/Annotations/AnnotationScene.h"

namespace OverlayWindows {

class AnnotationRenderer {
  public:
    explicit AnnotationRenderer(Annotations::AnnotationStyle style = Annotations::AnnotationStyle::standard)
        : style_(style) {}

    // Paints over what `painter` holds (clear it first); forgets the marks the scene no longer has.
    void paint(QPainter& painter, const Annotations::AnnotationScene& scene, const QRect& bounds);
    std::size_t cachedMarks() const { return marks_.size(); }

  private:
    struct Mark {
        Annotations::AnnotationShape shape;
        Annotations::AnnotationColor color;
        QImage image;
        QRect rect;  // where the image goes, in scene points
    };
    const Mark& update(const Annotations::AnnotationScene::Item& item);

    Annotations::AnnotationStyle style_;
    std::unordered_map<std::int64_t, Mark> marks_;
};

}  // namespace OverlayWindows
