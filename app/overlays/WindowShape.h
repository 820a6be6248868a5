#pragma once
// The shape of an overlay's X window, given in the window's device pixels.
//
// Without a compositing manager X ignores the alpha of a 32-bit window and shows its transparent pixels
// black, so an overlay is cut to what it draws. Qt's own window masks are in device-independent pixels
// and scaled by the screen's ratio, which at a ratio of 2 cannot follow an edge that lies on an odd
// device pixel: the shape would take in a ring of transparent (black) pixels around every mark. Here the
// shape goes to the X server in the same pixels the window is painted in, at any ratio.
//
// Thread: main thread only (the thread of the QApplication).
#include <QRegion>
#include <QTimer>

class QWidget;

namespace OverlayWindows {

// Shapes the top-level `widget` to `region` (device pixels from its top-left corner); nothing of it shows
// when the region is empty. Creates the X window when it does not exist yet, so that it can be shaped
// before it first shows. Off X (Qt's offscreen platform) it becomes the widget's mask, in its own units.
void shapeWindow(QWidget& widget, const QRegion& region);

// The whole window shows again.
void unshapeWindow(QWidget& widget);

// Has a compositing manager show each change of a window's shape (WindowShape.cpp says why one may not):
// a frame after a change the window is painted again where its shape now lies or, cut to nothing, is given
// its shape again. Changes that come faster than a frame are followed up once a frame, and once more a
// frame after the last of them.
class ShapeFollowUp final {
  public:
    explicit ShapeFollowUp(QWidget& window);
    // The window was shaped to `region` (device pixels) while a compositing manager runs.
    void shaped(const QRegion& region);

  private:
    void followUp();

    QWidget& window_;
    QRegion shape_;
    QTimer timer_;
    bool again_ = false;  // a change came while the timer ran
};

// A region in device pixels as a widget's own (device-independent) region; edge pixels round outwards.
QRegion logicalRegion(const QRegion& device, double ratio);

// The device pixels inside a rounded rectangle of `size` device pixels with corners of `radius`: those
// whose centres lie inside, so that none of its translucent rim is left without a compositor.
QRegion roundedRectRegion(QSize size, double radius);

}  // namespace OverlayWindows
