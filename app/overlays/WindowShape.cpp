#include "app/overlays/WindowShape.h"

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QPainterPath>
#include <QWidget>
#include <chrono>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace OverlayWindows {

namespace {

xcb_connection_t* x11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

std::int16_t clamp16(int value) {
    return static_cast<std::int16_t>(std::clamp(value, int{std::numeric_limits<std::int16_t>::min()},
                                                int{std::numeric_limits<std::int16_t>::max()}));
}

std::uint16_t clampSize(int value) {
    return static_cast<std::uint16_t>(std::clamp(value, 0, int{std::numeric_limits<std::uint16_t>::max()}));
}

// A shape of more rectangles is painted again as its bounds (each rectangle is sent on its own).
constexpr int maxRepaintRects = 64;

// A frame, by which a compositing manager not held up by other work has taken in a change of the shape.
constexpr std::chrono::milliseconds followUpDelay{16};

}  // namespace

QRegion logicalRegion(const QRegion& device, double ratio) {
    if (ratio == 1.0)
        return device;
    QRegion logical;
    for (const QRect& r : device) {
        const int left = static_cast<int>(std::floor(r.left() / ratio));
        const int top = static_cast<int>(std::floor(r.top() / ratio));
        const int right = static_cast<int>(std::ceil((r.right() + 1) / ratio));
        const int bottom = static_cast<int>(std::ceil((r.bottom() + 1) / ratio));
        logical += QRect(left, top, right - left, bottom - top);
    }
    return logical;
}

void shapeWindow(QWidget& widget, const QRegion& region) {
    xcb_connection_t* connection = x11Connection();
    if (!connection) {
        // An empty mask would mean no mask at all (the whole window shown).
        const QRegion logical = logicalRegion(region, widget.devicePixelRatioF());
        widget.setMask(logical.isEmpty() ? QRegion(-1, -1, 1, 1) : logical);
        return;
    }
    const auto window = static_cast<xcb_window_t>(widget.winId());
    std::vector<xcb_rectangle_t> rectangles;
    rectangles.reserve(static_cast<std::size_t>(region.rectCount()));
    for (const QRect& r : region)
        rectangles.push_back({clamp16(r.x()), clamp16(r.y()), clampSize(r.width()), clampSize(r.height())});
    xcb_shape_rectangles(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED,
                         window, 0, 0, static_cast<std::uint32_t>(rectangles.size()), rectangles.data());
    xcb_flush(connection);
}

void unshapeWindow(QWidget& widget) {
    xcb_connection_t* connection = x11Connection();
    if (!connection) {
        if (!widget.mask().isEmpty())
            widget.clearMask();
        return;
    }
    xcb_shape_mask(connection, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING,
                   static_cast<xcb_window_t>(widget.winId()), 0, 0, XCB_NONE);
    xcb_flush(connection);
}

// Under a compositing manager the server shows nothing of a window by itself: the manager paints the
// window's pixels where the server reports them changed (damaged), cut to the window's shape. xcompmgr
// (1.1.8) cuts to the shape it last read, and reads it again only when it paints after taking in a change
// of it. When it takes in a change only while it paints the window's damage, and the part the change
// added was painted into that damage, that part is cut away; and the repaint it then makes for the change
// waits in its output buffer (it flushes only after painting damage) until the server next wakes it. The
// part a change added or took away then stays as it was on the screen until something else changes.
// Damage a frame later, once it has taken in the change, wakes it and is painted with the new shape. A
// window cut to nothing can take no damage (the server reports none outside the shape): it is given its
// empty shape again, which wakes the manager likewise.
ShapeFollowUp::ShapeFollowUp(QWidget& window) : window_(window) {
    timer_.setSingleShot(true);
    timer_.setInterval(followUpDelay);
    QObject::connect(&timer_, &QTimer::timeout, [this] { followUp(); });
}

void ShapeFollowUp::shaped(const QRegion& region) {
    shape_ = region;
    // Changes that keep coming (a stroke drawn on) are followed up once a frame, and the last of them a
    // frame after it came.
    if (timer_.isActive())
        again_ = true;
    else
        timer_.start();
}

void ShapeFollowUp::followUp() {
    if (std::exchange(again_, false))
        timer_.start();
    if (!window_.isVisible())
        return;
    if (shape_.isEmpty())
        shapeWindow(window_, shape_);
    else
        window_.update(
            logicalRegion(shape_.rectCount() > maxRepaintRects ? QRegion(shape_.boundingRect()) : shape_,
                          window_.devicePixelRatioF()));
}

QRegion roundedRectRegion(QSize size, double radius) {
    QPainterPath rounded;
    rounded.addRoundedRect(QRectF(QPointF(0, 0), QSizeF(size)), radius, radius);
    return QRegion(rounded.toFillPolygon().toPolygon(), Qt::WindingFill);
}

}  // namespace OverlayWindows
