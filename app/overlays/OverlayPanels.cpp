#include "app/overlays/OverlayPanels.h"

#include "app/overlays/ScenePainting.h"
#include "app/overlays/WindowShape.h"

#include <malloc.h>

#include <QBitmap>
#include <QGuiApplication>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QRadialGradient>
#include <QScreen>
#include <QTimer>
#include <QVariantAnimation>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <utility>
#include <variant>

#include "platform/DispatchQueue.h"
#include "platform/NewestHandoff.h"
#include "protocol/messages/Overloaded.h"

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

QRect devicePixels(const Rect& frame) {
    return {static_cast<int>(std::lround(frame.origin.x)), static_cast<int>(std::lround(frame.origin.y)),
            static_cast<int>(std::lround(frame.size.width)),
            static_cast<int>(std::lround(frame.size.height))};
}

// The screen whose X pixels hold `point`, with its ratio; Qt keeps a screen's top-left corner and divides
// the rest by the ratio.
QScreen* screenOfDevicePoint(QPoint point) {
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect logical = screen->geometry();
        const QRect device(logical.topLeft(), (QSizeF(logical.size()) * screen->devicePixelRatio()).toSize());
        if (device.contains(point))
            return screen;
    }
    return QGuiApplication::primaryScreen();
}

QPoint logicalPoint(QPoint device) {
    QScreen* screen = screenOfDevicePoint(device);
    const double ratio = screen ? screen->devicePixelRatio() : 1.0;
    if (ratio == 1.0)
        return device;
    const QPoint origin = screen->geometry().topLeft();
    return origin + (QPointF(device - origin) / ratio).toPoint();
}

void setGeometryIfChanged(QWidget* widget, const Rect& frame) {
    const QRect target = logicalRect(frame);
    if (widget->geometry() != target)
        widget->setGeometry(target);
}

// Hands freed surfaces back to the system: glibc keeps large freed blocks in the heap once its mmap
// threshold has grown past them.
void giveMemoryBack() {
    malloc_trim(0);
}

}  // namespace

QRect logicalRect(const Rect& frame) {
    const QRect device = devicePixels(frame);
    QScreen* screen = screenOfDevicePoint(device.center());
    const double ratio = screen ? screen->devicePixelRatio() : 1.0;
    if (ratio == 1.0)
        return device;
    const QPoint topLeft = logicalPoint(device.topLeft());
    return {topLeft, (QSizeF(device.size()) / ratio).toSize()};
}

// ---- Annotations --------------------------------------------------------------------------------------

namespace {

// How long the drawing before the newest is kept for the next change.
constexpr std::chrono::milliseconds spareDelay{250};

// A window repaints at most this many rectangles of its changes; more are repainted as their bounds.
constexpr int maxRepaintRects = 64;

AnnotationRenderer::Coverage coverageFor(bool composited) {
    return composited ? AnnotationRenderer::Coverage::anyInk : AnnotationRenderer::Coverage::halfOpaque;
}

}  // namespace

// A window over one display; it shows the drawing as the drawing queue composed it, so painting is a copy.
struct AnnotationOverlay::Panel : QWidget {
    QImage drawing;              // device pixels of the display, transparent where nothing is drawn
    QRegion shape;               // device pixels; the window shows nothing outside it
    std::optional<Rect> placed;  // the display it was placed over
    ShapeFollowUp followUp{*this};

    Panel() { makeOverlayWindow(this); }

    void paintEvent(QPaintEvent* event) override {
        // The backing store of a translucent window is cleared where it is painted before each painting.
        if (drawing.isNull())
            return;
        QPainter painter(this);
        const double ratio = devicePixelRatioF();
        const QRectF logical(event->rect());
        const QRect device = QRectF(logical.topLeft() * ratio, logical.size() * ratio)
                                 .toAlignedRect()
                                 .intersected(drawing.rect());
        painter.scale(1 / ratio, 1 / ratio);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.drawImage(device.topLeft(), drawing, device);
    }
};

// A scene to draw for a display, with what the window needs to show it.
struct AnnotationOverlay::Job {
    std::uint64_t generation = 0;
    AnnotationScene scene;
    Rect frame;
    AnnotationRenderer::Coverage coverage = AnnotationRenderer::Coverage::anyInk;
};

struct AnnotationOverlay::Result {
    Job job;
    QImage drawing;
    QRegion shape;
    bool pending = false;  // a layer is still being drawn afresh: draw again at the next frame
    std::size_t surfaceBytes = 0;
};

struct AnnotationOverlay::Drawing {
    platform::NewestHandoff<Job, Result> handoff;
    std::mutex spareMutex;
    QImage spare;  // the drawing a window showed before its newest, for reuse

    // The queue's own.
    AnnotationRenderer renderer;
    AnnotationRenderer otherRenderer;  // the layers for the display of another size drawn last
    QSize size;                        // the display's X pixels, in which the scene is laid out
    QImage canvas;                     // the composed drawing; shared with the window until the next one
};

AnnotationOverlay::AnnotationOverlay()
    : release_(std::make_unique<QTimer>()),
      releaseOther_(std::make_unique<QTimer>()),
      releaseSpare_(std::make_unique<QTimer>()),
      pacing_(std::make_unique<QTimer>()),
      drawing_(std::make_unique<Drawing>()),
      receiver_(std::make_unique<QObject>()),
      drawer_(std::make_unique<platform::DispatchQueue>("dev.quelmar.trackpad.mac.annotation-drawing")) {
    pacing_->setSingleShot(true);
    pacing_->setInterval(frameInterval);
    QObject::connect(pacing_.get(), &QTimer::timeout, [this] {
        if (changed_ && panel_)
            drawFrame();
    });
    release_->setSingleShot(true);
    release_->setInterval(releaseDelay);
    // A hidden window keeps its display-sized backing store (shared with the X server), and the drawing its
    // layers: both go when no new drawing came for a while, and the next drawing makes a new window.
    QObject::connect(release_.get(), &QTimer::timeout, [this] {
        if (!panel_ || !wantsHidden_)
            return;
        panel_->hide();
        panel_.reset();
        otherPanel_.reset();
        surfaceBytes_ = 0;
        ++generation_;
        drawing_->handoff.dropWaiting();
        drawing_->handoff.dropResult();
        drawer_->async([drawing = drawing_.get()] {
            drawing->renderer.reset();
            drawing->otherRenderer.reset();
            drawing->canvas = QImage();
            drawing->size = {};
            {
                std::lock_guard lock(drawing->spareMutex);
                drawing->spare = QImage();
            }
            giveMemoryBack();
        });
    });
    // The drawing before the newest is kept to be drawn on only while changes come; a drawing that stays
    // as it is holds one surface, not two.
    releaseSpare_->setSingleShot(true);
    releaseSpare_->setInterval(spareDelay);
    QObject::connect(releaseSpare_.get(), &QTimer::timeout, [this] {
        QImage spare;
        {
            std::lock_guard lock(drawing_->spareMutex);
            spare = std::exchange(drawing_->spare, QImage());
        }
        if (!spare.isNull())
            drawer_->async([image = std::move(spare)] {});
    });
    // The window of the display the view left goes likewise once the view stayed away for a while.
    releaseOther_->setSingleShot(true);
    releaseOther_->setInterval(otherDisplayDelay);
    QObject::connect(releaseOther_.get(), &QTimer::timeout, [this] {
        if (otherPanel_)
            otherPanel_->hide();
        otherPanel_.reset();
        giveMemoryBack();
    });
}

AnnotationOverlay::~AnnotationOverlay() {
    // Nothing more begins; a drawing under way finishes (its result is posted to the receiver, which goes
    // with its posted calls), and then the queue stops.
    drawing_->handoff.dropWaiting();
    drawer_.reset();
}

void AnnotationOverlay::present(const AnnotationScene& scene, const Rect& frame) {
    release_->stop();
    if (!panel_)
        panel_ = std::make_unique<Panel>();
    nextFrame_ = frame;
    nextScene_ = scene;
    wantsHidden_ = false;
    changedNow();
}

void AnnotationOverlay::hide() {
    if (!panel_)
        return;
    wantsHidden_ = true;
    changedNow();
}

// The first change after a quiet frame is drawn at once, the ones that follow at the end of the frame: a
// burst of messages (marks drawn, undone and cleared by the thousand) costs one drawing per frame.
void AnnotationOverlay::changedNow() {
    if (pacing_->isActive()) {
        changed_ = true;
        return;
    }
    drawFrame();
}

// Cut to nothing rather than unmapped: a drawing that comes back soon (marks cleared and drawn again by
// the hundred, a view that goes back and forth between displays) then costs no map, which paints and sends
// the whole window at once.
void AnnotationOverlay::blank(Panel& panel) {
    if (panel.isVisible() && !panel.shape.isEmpty()) {
        panel.shape = QRegion();
        shapeWindow(panel, panel.shape);
        if (composited_)
            panel.followUp.shaped(panel.shape);
    }
    if (!panel.drawing.isNull())
        drawer_->async([image = std::exchange(panel.drawing, QImage())] {});
}

void AnnotationOverlay::drawFrame() {
    changed_ = false;
    pacing_->start();
    if (wantsHidden_) {
        // Whatever is still being drawn is for a drawing that ended. The window goes, unmapped, with the
        // drawing's surfaces once nothing was drawn for a while (also when the drawing ended before its
        // first result came back).
        ++generation_;
        blank(*panel_);
        release_->start();
        return;
    }
    // Drawn on the queue, at most a frame's budget at a time; the window changes when the result is back,
    // and a scene still waiting is replaced by the newer one.
    if (drawing_->handoff.offer(Job{generation_, nextScene_, nextFrame_, coverageFor(composited_)}).schedule)
        drawer_->async([this] { drawNewest(); });
}

// On the drawing queue: the newest scene, drawn and composed; its result replaces one the main thread has
// not taken yet.
void AnnotationOverlay::drawNewest() {
    Drawing& d = *drawing_;
    std::optional<Job> job = d.handoff.take();
    if (!job)
        return;
    const QSize size = devicePixels(job->frame).size();
    if (size != d.size && !d.size.isEmpty()) {
        // A view that goes back and forth between two displays of different sizes finds the other
        // display's layers as it left them, rather than drawing every mark afresh at each switch.
        std::swap(d.renderer, d.otherRenderer);
    }
    d.size = size;
    d.renderer.setCoverage(job->coverage);
    d.renderer.prepare(job->scene, size);
    Result result;
    result.pending = d.renderer.hasPendingWork();
    // Shaped with a compositor too (to every pixel with ink, so that it looks the same), so that when the
    // compositor goes no transparent pixel of the window shows black.
    result.shape = d.renderer.coverage(job->scene);
    // The window may still show the last drawing: then the one it showed before (which it gave back) is
    // drawn on, so that no display-sized surface is made or unmapped per frame, least of all on the main
    // thread.
    if (d.canvas.size() != size || !d.canvas.isDetached()) {
        QImage spare;
        {
            std::lock_guard lock(d.spareMutex);
            spare = std::exchange(d.spare, QImage());
        }
        if (spare.size() == size && spare.isDetached())
            d.canvas = std::move(spare);
        else
            d.canvas = QImage(size, QImage::Format_ARGB32_Premultiplied);
    }
    if (!d.canvas.isNull()) {
        d.canvas.fill(Qt::transparent);
        QPainter painter(&d.canvas);
        d.renderer.paint(painter, job->scene, d.canvas.rect(), false);
    }
    result.drawing = d.canvas;
    result.surfaceBytes = d.renderer.surfaceBytes() + d.otherRenderer.surfaceBytes();
    result.job = std::move(*job);
    auto delivered = d.handoff.deliver(std::move(result));
    delivered.overtaken.reset();
    if (delivered.post)
        QMetaObject::invokeMethod(
            receiver_.get(), [this] { takeResult(); }, Qt::QueuedConnection);
    if (delivered.again)
        drawer_->async([this] { drawNewest(); });
}

void AnnotationOverlay::takeResult() {
    std::optional<Result> result = drawing_->handoff.collect();
    // A drawing for a drawing since hidden or released is dropped.
    if (!result || !panel_ || result->job.generation != generation_ || wantsHidden_)
        return;
    const Rect& frame = result->job.frame;
    if (panel_->placed && !(*panel_->placed == frame)) {
        // Each display has a window of its own, placed once: a view that switches displays neither moves
        // nor resizes a window (which makes its backing store again and sends all of it), and the window
        // it left is cut to nothing until the view comes back or it goes.
        std::swap(panel_, otherPanel_);
        if (!panel_ || !panel_->placed || !(*panel_->placed == frame))
            panel_ = std::make_unique<Panel>();
        blank(*otherPanel_);
        releaseOther_->start();
    } else if (otherPanel_ && !releaseOther_->isActive()) {
        releaseOther_->start();
    }
    Panel& panel = *panel_;
    surfaceBytes_ = result->surfaceBytes;
    panel.placed = frame;
    setGeometryIfChanged(&panel, frame);
    // Shaped before it first shows, so that no frame shows the whole window black.
    const QRegion previous = panel.shape;
    if (result->shape != panel.shape || !panel.isVisible()) {
        panel.shape = std::move(result->shape);
        shapeWindow(panel, panel.shape);
        if (composited_)
            panel.followUp.shaped(panel.shape);
    }
    QImage shown = std::exchange(panel.drawing, std::move(result->drawing));
    {
        // Given back to be drawn on again; one the queue did not take is released there.
        std::lock_guard lock(drawing_->spareMutex);
        std::swap(drawing_->spare, shown);
    }
    if (!shown.isNull())
        drawer_->async([image = std::move(shown)] {});
    releaseSpare_->start();
    // Nothing outside the shape shows: only what was inked before or is now is painted again.
    if (panel.isVisible()) {
        QRegion changed = previous + panel.shape;
        if (changed.rectCount() > maxRepaintRects)
            changed = changed.boundingRect();
        panel.update(logicalRegion(changed, panel.devicePixelRatioF()));
    } else {
        panel.update();
        panel.show();
        panel.raise();
    }
    if (result->pending) {
        if (pacing_->isActive())
            changed_ = true;
        else
            drawFrame();
    }
}

void AnnotationOverlay::setComposited(bool composited) {
    if (composited_ == composited)
        return;
    composited_ = composited;
    if (!panel_ || wantsHidden_)
        return;
    // Shaped for the new state at once: the compositor's windows may be going.
    pacing_->stop();
    drawFrame();
    drawer_->sync([] {});
    takeResult();
}

bool AnnotationOverlay::isDrawing() const {
    return changed_ || drawing_->handoff.busy();
}

std::size_t AnnotationOverlay::surfaceBytes() const {
    return surfaceBytes_;
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

    // Without a compositor only the glow's bright core shows, as a disc, rather than a black square; with
    // one the window is cut to the glow's circle, so that its corners never show black when it goes.
    void reshape(bool composited) {
        if (composited)
            setMask(QRegion(0, 0, 64, 64, QRegion::Ellipse));
        else
            setMask(QRegion(16, 16, 32, 32, QRegion::Ellipse));
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

namespace {

// The pointer comes in X pixels; the 64-point glow is centred on it in the window's own units.
QPoint glowOrigin(Annotations::Point point) {
    const QPoint device(static_cast<int>(std::lround(point.x)), static_cast<int>(std::lround(point.y)));
    QScreen* screen = screenOfDevicePoint(device);
    const double ratio = screen ? screen->devicePixelRatio() : 1.0;
    Annotations::Point logical = point;
    if (ratio != 1.0) {
        const QPoint origin = screen->geometry().topLeft();
        logical = {origin.x() + (point.x - origin.x()) / ratio, origin.y() + (point.y - origin.y()) / ratio};
    }
    auto origin = Annotations::pointerHighlightOrigin(logical);
    return {static_cast<int>(origin.x), static_cast<int>(origin.y)};
}

}  // namespace

PointerHighlightOverlay::PointerHighlightOverlay() = default;
PointerHighlightOverlay::~PointerHighlightOverlay() = default;

void PointerHighlightOverlay::ensurePanel() {
    if (panel_)
        return;
    panel_ = std::make_unique<Panel>();
    panel_->reshape(composited_);
}

void PointerHighlightOverlay::setComposited(bool composited) {
    composited_ = composited;
    if (panel_)
        panel_->reshape(composited);
}

void PointerHighlightOverlay::show(Annotations::Point point) {
    ++generation_;
    ensurePanel();
    panel_->move(glowOrigin(point));
    if (!panel_->isVisible())
        panel_->paintedOpacity = 0;
    panel_->show();
    panel_->raise();
    panel_->animateTo(1.0, 120, nullptr);
}

void PointerHighlightOverlay::move(Annotations::Point point) {
    if (!panel_)
        return;
    panel_->move(glowOrigin(point));
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
    QImage scaled;      // the visible part of the picture at its size on the screen, premultiplied
    QPoint scaledAt;    // X pixels from the window's top-left corner
    QRectF imageFrame;  // the whole picture, likewise (for the shadow)
    bool opaque = true;
    bool composited = true;
    ShapeFollowUp followUp{*this};

    Panel() { makeOverlayWindow(this); }

    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        clear(painter, rect());
        if (scaled.isNull())
            return;
        const double ratio = devicePixelRatioF();
        painter.scale(1 / ratio, 1 / ratio);
        if (opaque && composited) {
            // A soft shadow 4 px below an opaque picture; transparent pictures cast none.
            painter.setPen(Qt::NoPen);
            for (int spread = 16; spread > 0; spread -= 4) {
                painter.setBrush(QColor(0, 0, 0, 22));
                painter.drawRoundedRect(
                    imageFrame.adjusted(-spread / 2.0, 4 - spread / 2.0, spread / 2.0, 4 + spread / 2.0),
                    spread / 2.0, spread / 2.0);
            }
        }
        painter.drawImage(scaledAt, scaled);
    }
};

namespace {

// The part `drawn` (window pixels) of a picture laid out over `imageFrame`, smoothly scaled to its size
// on the screen. Runs off the main thread: a 4096x4096 picture takes tens of milliseconds.
QImage scaleVisiblePart(const platform::imaging::Bitmap& bitmap, bool opaque, const QRectF& imageFrame,
                        const QRect& drawn) {
    const double sx = bitmap.width() / imageFrame.width();
    const double sy = bitmap.height() / imageFrame.height();
    const QRectF part((drawn.x() - imageFrame.x()) * sx, (drawn.y() - imageFrame.y()) * sy,
                      drawn.width() * sx, drawn.height() * sy);
    const QRect crop = part.toAlignedRect().intersected(QRect(0, 0, bitmap.width(), bitmap.height()));
    if (crop.isEmpty())
        return {};
    // The part is read where it lies in the picture; only a transparent picture is copied, to premultiply
    // it (an opaque one is premultiplied already), so a large picture is not held twice more meanwhile.
    const std::size_t stride = bitmap.stride();
    const QImage source(bitmap.pixels() + stride * static_cast<std::size_t>(crop.y()) + 4 * crop.x(),
                        crop.width(), crop.height(), static_cast<qsizetype>(stride),
                        opaque ? QImage::Format_ARGB32_Premultiplied : QImage::Format_ARGB32);
    QImage scaled = (opaque ? source : source.convertToFormat(QImage::Format_ARGB32_Premultiplied))
                        .scaled(drawn.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    // At its own size the result may still be the picture's pixels: the window keeps its own.
    if (scaled.constBits() == source.constBits())
        scaled = scaled.copy();
    return scaled;
}

}  // namespace

// A picture to scale for the window, with what the window needs to show it.
struct PresentationImageOverlay::Job {
    std::uint64_t ticket = 0;
    Rect window;
    Prepared key;
    PresentationImages::PresentationImagePicture picture;
    bool cutOut = false;
};

// The shortest time between two changes of the window by newly scaled pictures.
constexpr std::chrono::microseconds frameInterval{16667};

// Pictures from this size on are handed back to the system as soon as the scaler is done with them.
constexpr std::size_t largePictureBytes = 16 << 20;

struct PresentationImageOverlay::Result {
    Job job;
    QImage scaled;
    QImage alphaMask;
};

struct PresentationImageOverlay::Scaling {
    platform::NewestHandoff<Job, Result> handoff;
    std::atomic<std::size_t> count = 0;
};

PresentationImageOverlay::PresentationImageOverlay()
    : scaling_(std::make_unique<Scaling>()),
      receiver_(std::make_unique<QObject>()),
      scaler_(std::make_unique<platform::DispatchQueue>("dev.quelmar.trackpad.mac.picture-scaling")) {}

PresentationImageOverlay::~PresentationImageOverlay() {
    // Nothing more begins; a scaling under way finishes (its result is posted to the receiver, which goes
    // with its posted calls), and then the queue stops.
    scaling_->handoff.dropWaiting();
    scaler_.reset();
}

void PresentationImageOverlay::show(const PresentationImages::PresentationImagePicture& picture,
                                    const PresentationImages::PresentationImageFrame& frame,
                                    const Rect& screen) {
    if (!panel_)
        panel_ = std::make_unique<Panel>();
    last_ = Shown{frame, screen};
    Rect window = screen;
    QRectF imageFrame = toQt(frame.image);
    if (!composited_) {
        // Without a compositor every pixel of the window shows, so the window is the visible picture.
        const Rect& visible = frame.visible;
        window = {{screen.origin.x + visible.origin.x, screen.origin.y + visible.origin.y}, visible.size};
        imageFrame.translate(-visible.origin.x, -visible.origin.y);
    }
    const QRect drawn =
        imageFrame.toAlignedRect().intersected(QRect(QPoint(0, 0), devicePixels(window).size()));
    Job job{++ticket_, window, Prepared{picture.image.pixels(), imageFrame, drawn, composited_}, picture,
            !composited_ && !picture.isOpaque};
    if (prepared_ == job.key) {
        Result same{std::move(job), panel_->scaled, {}};
        apply(same, false);
        return;
    }
    // Scaled once per picture and placement, off the main thread; the window changes only when the result
    // is there, so a move never shows a half-made state. A picture still waiting is replaced.
    if (scaling_->handoff.offer(std::move(job)).schedule)
        scaler_->async([this] { scaleNewest(); });
}

// On the scaler: the newest waiting picture, scaled; its result replaces one the main thread has not
// taken yet.
void PresentationImageOverlay::scaleNewest() {
    std::optional<Job> job = scaling_->handoff.take();
    if (!job)
        return;
    ++scaling_->count;
    Result result{std::move(*job), {}, {}};
    const bool large = result.job.picture.image.bytes().size() >= largePictureBytes;
    const Prepared& key = result.job.key;
    if (!key.drawn.isEmpty())
        result.scaled = scaleVisiblePart(result.job.picture.image, result.job.picture.isOpaque,
                                         key.imageFrame, key.drawn);
    if (result.job.cutOut && !result.scaled.isNull())
        result.alphaMask = result.scaled.createAlphaMask(Qt::ThresholdAlphaDither);
    // A picture that came while this one scaled gets a task behind it.
    auto delivered = scaling_->handoff.deliver(std::move(result));
    delivered.overtaken.reset();
    // The copies of a large picture went back to this thread's heap: handed back to the system when nothing
    // waits (smaller ones wait for the next hide).
    if (!delivered.again && large)
        giveMemoryBack();
    if (delivered.post)
        QMetaObject::invokeMethod(
            receiver_.get(), [this] { takeResult(); }, Qt::QueuedConnection);
    if (delivered.again)
        scaler_->async([this] { scaleNewest(); });
}

void PresentationImageOverlay::takeResult() {
    // The window changes at most once a frame; meanwhile a newer result may replace the one waiting.
    const auto now = std::chrono::steady_clock::now();
    if (now < nextChange_) {
        QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(nextChange_ - now), receiver_.get(),
                           [this] { takeResult(); });
        return;
    }
    std::optional<Result> result = scaling_->handoff.collect();
    // A result for a picture since replaced or hidden is dropped.
    if (result && result->job.ticket == ticket_) {
        apply(*result, true);
        nextChange_ = now + frameInterval;
    } else if (result && !panel_) {
        // It came after the hide, which handed back what it could before this was let go.
        result.reset();
        giveMemoryBack();
    }
}

void PresentationImageOverlay::apply(Result& result, bool reshape) {
    if (!panel_)
        panel_ = std::make_unique<Panel>();
    Panel& panel = *panel_;
    const Job& job = result.job;
    const Prepared& key = job.key;
    panel.composited = key.composited;
    panel.shown = job.picture.image;
    panel.opaque = job.picture.isOpaque;
    panel.imageFrame = key.imageFrame;
    panel.scaled = std::move(result.scaled);
    panel.scaledAt = key.drawn.topLeft();
    prepared_ = key;
    setGeometryIfChanged(&panel, job.window);
    if (reshape) {
        // Without a compositor the transparent parts of a picture would show black: cut them out. With
        // one the screen-sized window is cut to the picture and its shadow, so that nothing of it shows
        // black should the compositor go.
        if (!result.alphaMask.isNull()) {
            shapeWindow(panel, QRegion(QBitmap::fromImage(result.alphaMask)).translated(panel.scaledAt));
        } else if (key.composited) {
            const QRegion shape =
                (QRegion(key.drawn) + QRegion(key.imageFrame.adjusted(-8, -4, 8, 12).toAlignedRect()))
                    .intersected(QRect(QPoint(0, 0), devicePixels(job.window).size()));
            shapeWindow(panel, shape);
            panel.followUp.shaped(shape);
        } else {
            unshapeWindow(panel);
        }
    }
    panel.update();
    if (!panel.isVisible())
        panel.show();
    if (onShown_)
        onShown_();
}

void PresentationImageOverlay::hide() {
    ++ticket_;
    last_.reset();
    prepared_.reset();
    std::optional<Job> waiting = scaling_->handoff.dropWaiting();  // released outside the lock
    if (!panel_)
        return;
    // A hidden window keeps its display-sized backing store (shared with the X server): the window goes
    // with the picture, and the next picture makes a new one.
    panel_->hide();
    panel_.reset();
    giveMemoryBack();
}

void PresentationImageOverlay::setComposited(bool composited) {
    if (composited_ == composited)
        return;
    composited_ = composited;
    if (panel_ && last_ && !panel_->shown.empty()) {
        // The shadow would show black until the picture is placed again: cut to the picture at once.
        if (!composited && prepared_ && prepared_->composited)
            shapeWindow(*panel_, QRegion(prepared_->drawn));
        PresentationImages::PresentationImagePicture picture{panel_->shown, panel_->opaque};
        show(picture, last_->frame, last_->screen);
    }
}

std::size_t PresentationImageOverlay::scalingCount() const {
    return scaling_->count;
}

QSize PresentationImageOverlay::preparedSize() const {
    return panel_ ? panel_->scaled.size() : QSize();
}

unsigned long PresentationImageOverlay::windowID() const {
    return panel_ ? panel_->winId() : 0;
}

}  // namespace OverlayWindows
