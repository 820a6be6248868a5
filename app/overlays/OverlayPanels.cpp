#include "app/overlays/OverlayPanels.h"

#include "app/overlays/ScenePainting.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QRadialGradient>
#include <QVariantAnimation>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <variant>

#include "TrackpadProtocol/Overloaded.h"

namespace OverlayWindows {

using Annotations::AnnotationScene;
using Annotations::AnnotationShape;
using Annotations::Rect;

namespace {

QRectF toQt(const Rect& r) {
    return {r.origin.x, r.origin.y, r.size.width, r.size.height};
}

// An override-redirect, input-transparent top-level: the window manager neither moves nor focuses it,
// and every click reaches the window below.
void makeOverlayWindow(QWidget* widget) {
    widget->setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool |
                           Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus |
                           Qt::X11BypassWindowManagerHint | Qt::NoDropShadowWindowHint);
    widget->setAttribute(Qt::WA_TranslucentBackground);
    widget->setAttribute(Qt::WA_ShowWithoutActivating);
    widget->setAttribute(Qt::WA_TransparentForMouseEvents);
    widget->setFocusPolicy(Qt::NoFocus);
}

void clear(QPainter& painter, const QRect& rect) {
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void setGeometryIfChanged(QWidget* widget, const Rect& frame) {
    QRect target(static_cast<int>(std::lround(frame.origin.x)), static_cast<int>(std::lround(frame.origin.y)),
                 static_cast<int>(std::lround(frame.size.width)),
                 static_cast<int>(std::lround(frame.size.height)));
    if (widget->geometry() != target)
        widget->setGeometry(target);
}

}  // namespace

// ---- Annotations --------------------------------------------------------------------------------------

struct AnnotationOverlay::Panel : QWidget {
    AnnotationScene scene;
    AnnotationRenderer renderer;

    Panel() { makeOverlayWindow(this); }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        clear(painter, rect());
        renderer.paint(painter, scene, rect());
    }
};

AnnotationOverlay::AnnotationOverlay() = default;
AnnotationOverlay::~AnnotationOverlay() = default;

void AnnotationOverlay::present(const AnnotationScene& scene, const Rect& frame) {
    if (!panel_)
        panel_ = std::make_unique<Panel>();
    setGeometryIfChanged(panel_.get(), frame);
    panel_->scene = scene;
    panel_->update();
    if (!panel_->isVisible()) {
        panel_->show();
        panel_->raise();
    }
}

void AnnotationOverlay::hide() {
    if (!panel_)
        return;
    panel_->scene = {};
    panel_->hide();
}

void AnnotationOverlay::raise() {
    if (panel_ && panel_->isVisible())
        panel_->raise();
}

unsigned long AnnotationOverlay::windowID() const {
    return panel_ ? panel_->winId() : 0;
}

// ---- Pointer highlight ----------------------------------------------------------------------------------

struct PointerHighlightOverlay::Panel : QWidget {
    double paintedOpacity = 0;
    QPointer<QVariantAnimation> animation;

    Panel() {
        makeOverlayWindow(this);
        resize(64, 64);
    }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        clear(painter, rect());
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setOpacity(paintedOpacity);
        QPointF centre = QRectF(rect()).center();
        QRadialGradient glow(centre, std::min(width(), height()) / 2.0);
        const QColor red(255, 59, 48);
        const std::pair<double, double> stops[] = {{0.0, 0.9}, {0.16, 0.75}, {0.45, 0.28}, {1.0, 0.0}};
        for (auto [at, alpha] : stops) {
            QColor c = red;
            c.setAlphaF(static_cast<float>(alpha));
            glow.setColorAt(at, c);
        }
        glow.setSpread(QGradient::PadSpread);
        painter.fillRect(rect(), glow);
    }

    void animateTo(double target, int milliseconds, std::function<void()> finished) {
        if (animation)
            animation->stop();
        auto* next = new QVariantAnimation(this);
        next->setStartValue(paintedOpacity);
        next->setEndValue(target);
        next->setDuration(milliseconds);
        QObject::connect(next, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
            paintedOpacity = value.toDouble();
            update();
        });
        QObject::connect(next, &QVariantAnimation::finished, this, [finished = std::move(finished)] {
            if (finished)
                finished();
        });
        animation = next;
        next->start(QAbstractAnimation::DeleteWhenStopped);
    }
};

PointerHighlightOverlay::PointerHighlightOverlay() = default;
PointerHighlightOverlay::~PointerHighlightOverlay() = default;

void PointerHighlightOverlay::ensurePanel() {
    if (!panel_)
        panel_ = std::make_unique<Panel>();
}

void PointerHighlightOverlay::show(Annotations::Point point) {
    ++generation_;
    ensurePanel();
    auto origin = Annotations::pointerHighlightOrigin(point);
    panel_->move(static_cast<int>(origin.x), static_cast<int>(origin.y));
    if (!panel_->isVisible())
        panel_->paintedOpacity = 0;
    panel_->show();
    panel_->raise();
    panel_->animateTo(1.0, 120, nullptr);
}

void PointerHighlightOverlay::move(Annotations::Point point) {
    if (!panel_)
        return;
    auto origin = Annotations::pointerHighlightOrigin(point);
    panel_->move(static_cast<int>(origin.x), static_cast<int>(origin.y));
}

void PointerHighlightOverlay::hide() {
    if (!panel_ || !panel_->isVisible())
        return;
    int generation = ++generation_;
    // A show during the fade raises the generation, so this fade's end no longer takes the glow away.
    panel_->animateTo(0.0, 300, [this, generation] {
        if (generation_ == generation && panel_)
            panel_->hide();
    });
}

unsigned long PointerHighlightOverlay::windowID() const {
    return panel_ ? panel_->winId() : 0;
}
bool PointerHighlightOverlay::isPanelVisible() const {
    return panel_ && panel_->isVisible();
}

// ---- Presentation picture -------------------------------------------------------------------------------

struct PresentationImageOverlay::Panel : QWidget {
    // Held so that its pixels' address names this picture for as long as it is shown.
    platform::imaging::Bitmap shown;
    QImage image;  // premultiplied once per picture, so painting converts nothing
    QRectF imageFrame;
    bool opaque = true;

    Panel() { makeOverlayWindow(this); }

    void display(const PresentationImages::PresentationImagePicture& picture, const Rect& frame) {
        if (picture.image.pixels() != shown.pixels()) {
            const auto& bitmap = picture.image;
            shown = bitmap;
            image = QImage(bitmap.pixels(), bitmap.width(), bitmap.height(),
                           static_cast<qsizetype>(bitmap.stride()), QImage::Format_ARGB32)
                        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
            opaque = picture.isOpaque;
        }
        imageFrame = toQt(frame);
        update();
    }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        clear(painter, rect());
        if (image.isNull())
            return;
        if (opaque) {
            // A soft shadow 4 px below an opaque picture; transparent pictures cast none.
            painter.setPen(Qt::NoPen);
            for (int spread = 16; spread > 0; spread -= 4) {
                painter.setBrush(QColor(0, 0, 0, 22));
                painter.drawRoundedRect(
                    imageFrame.adjusted(-spread / 2.0, 4 - spread / 2.0, spread / 2.0, 4 + spread / 2.0),
                    spread / 2.0, spread / 2.0);
            }
        }
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(imageFrame, image);
    }
};

PresentationImageOverlay::PresentationImageOverlay() = default;
PresentationImageOverlay::~PresentationImageOverlay() = default;

void PresentationImageOverlay::show(const PresentationImages::PresentationImagePicture& picture,
                                    const PresentationImages::PresentationImageFrame& frame,
                                    const Rect& screen) {
    if (!panel_)
        panel_ = std::make_unique<Panel>();
    setGeometryIfChanged(panel_.get(), screen);
    panel_->display(picture, frame.image);
    if (!panel_->isVisible())
        panel_->show();
    if (onShown_)
        onShown_();
}

void PresentationImageOverlay::hide() {
    if (!panel_)
        return;
    panel_->shown = {};
    panel_->image = QImage();
    panel_->hide();
}

unsigned long PresentationImageOverlay::windowID() const {
    return panel_ ? panel_->winId() : 0;
}

}  // namespace OverlayWindows
