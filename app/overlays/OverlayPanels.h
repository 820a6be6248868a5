#pragma once
// The Qt windows of the overlays: frameless, always on top, click-through, never activated, with a
// translucent background. Each presenter makes its window on first use and keeps it.
//
// Frames and points come in X pixels (RandR monitors, the pointer); the windows convert them with the
// screen's device pixel ratio and paint in device pixels, so a scaled desktop (Xft.dpi 192) changes
// nothing. Without a compositing manager X ignores alpha and shows transparent pixels black, so then
// each window is shaped to what it draws (setComposited(false)).
//
// Thread: main thread only (the thread of the QApplication).
#include <QRect>
#include <QRectF>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "overlays/annotations/AnnotationOverlayController.h"
#include "overlays/annotations/PointerHighlightController.h"
#include "overlays/presentation-images/PresentationImageController.h"

class QObject;

namespace platform {
class DispatchQueue;
}

namespace OverlayWindows {

// Draws an annotation scene over a display: the dim with its rounded spotlight hole, then the marks
// with round caps and joins at their own opacity. The scene is drawn and composed on a queue of its own,
// at most once a frame; the window shows each composed drawing when it is back, so the main thread only
// copies pixels and shapes the window. Each display has a window of its own, placed once; the one a view
// left (or a drawing that ended) is cut to nothing, and goes when it stayed so for `releaseDelay`
// (`otherDisplayDelay` for a display the view left).
class AnnotationOverlay final : public Annotations::AnnotationPresenting {
  public:
    AnnotationOverlay();
    ~AnnotationOverlay() override;
    void present(const Annotations::AnnotationScene& scene, const Annotations::Rect& frame) override;
    void hide() override;
    // Keeps the drawing above the presentation picture.
    void raise();
    // The X window of the panel, 0 before it exists (tests read its pixels).
    unsigned long windowID() const;
    void setComposited(bool composited);
    // Bytes of the drawing's surfaces (0 once the drawing ended).
    std::size_t surfaceBytes() const;
    // A change is still being drawn or waits to be shown (tests wait for it).
    bool isDrawing() const;

    // Changes that come faster than this are drawn together, once per frame.
    static constexpr std::chrono::milliseconds frameInterval{16};
    // The hidden window and its drawing's surfaces are kept this long for a drawing that follows soon.
    static constexpr std::chrono::milliseconds releaseDelay{1000};
    // The window of a display the view left is kept this long for the view's return: making and mapping
    // a display-sized window costs the main thread more than a frame.
    static constexpr std::chrono::milliseconds otherDisplayDelay{3000};

    struct Panel;
    struct Job;
    struct Result;
    struct Drawing;

  private:
    void changedNow();
    void drawFrame();
    void drawNewest();
    void takeResult();
    void blank(Panel& panel);

    // The window of the display the view is on, and that of the display it was on before.
    std::unique_ptr<Panel> panel_;
    std::unique_ptr<Panel> otherPanel_;
    std::unique_ptr<QTimer> release_;
    std::unique_ptr<QTimer> releaseOther_;
    std::unique_ptr<QTimer> releaseSpare_;
    std::unique_ptr<QTimer> pacing_;  // runs for a frame after each drawing
    bool composited_ = true;
    // What the window is to show at the end of the frame.
    Annotations::AnnotationScene nextScene_;
    Annotations::Rect nextFrame_;
    bool wantsHidden_ = false;
    bool changed_ = false;  // a change waits for the end of the frame
    // Counts the drawings ended (hidden or released): a result for an earlier one is dropped.
    std::uint64_t generation_ = 0;
    std::size_t surfaceBytes_ = 0;
    // Shared with the drawing queue: the layers, the newest scene waiting, the newest result on its way.
    std::unique_ptr<Drawing> drawing_;
    // Receives the results on the main thread; lives as long as the overlay, unlike the window.
    std::unique_ptr<QObject> receiver_;
    // Last, so that it is stopped first: its tasks use the members above.
    std::unique_ptr<platform::DispatchQueue> drawer_;
};

// The 64x64 glow around the pointer; fades in over 0.12 s and out over 0.3 s by painted opacity, so
// no compositor is needed.
class PointerHighlightOverlay final : public Annotations::PointerHighlightPresenting {
  public:
    PointerHighlightOverlay();
    ~PointerHighlightOverlay() override;
    void show(Annotations::Point point) override;
    void move(Annotations::Point point) override;
    void hide() override;
    unsigned long windowID() const;
    bool isPanelVisible() const;
    void setComposited(bool composited);

    struct Panel;

  private:
    void ensurePanel();
    std::unique_ptr<Panel> panel_;
    int generation_ = 0;
    bool composited_ = true;
};

// The presentation picture over a display, scaled smoothly into its frame: the visible part is scaled
// once per picture and placement on a queue of its own, and the window shows the result when it is there.
// Pictures shown faster than they scale leave one waiting scaling, the newest, and one result on its way
// back. The window goes when the picture is hidden (a hidden window keeps its display-sized backing
// store), and the next picture makes a new one.
class PresentationImageOverlay final : public PresentationImages::PresentationImagePresenting {
  public:
    PresentationImageOverlay();
    ~PresentationImageOverlay() override;
    void show(const PresentationImages::PresentationImagePicture& picture,
              const PresentationImages::PresentationImageFrame& frame,
              const Annotations::Rect& screen) override;
    void hide() override;
    // The X window of the panel, 0 while there is none.
    unsigned long windowID() const;
    // Called after the picture window is shown, so annotations stay above it.
    void setOnShown(std::function<void()> onShown) { onShown_ = std::move(onShown); }
    void setComposited(bool composited);
    // The size of the scaled picture the window keeps (empty while nothing is shown).
    QSize preparedSize() const;
    // Pictures scaled so far.
    std::size_t scalingCount() const;

    struct Panel;
    struct Scaling;

  private:
    struct Shown {
        PresentationImages::PresentationImageFrame frame;
        Annotations::Rect screen;
    };
    // What the window's scaled picture was made for.
    struct Prepared {
        const std::uint8_t* pixels = nullptr;
        QRectF imageFrame;
        QRect drawn;
        bool composited = true;
        bool operator==(const Prepared&) const = default;
    };
    struct Job;
    struct Result;
    // Shows a scaled picture; `reshape`: the window's shape follows the result's alpha mask.
    void apply(Result& result, bool reshape);
    void scaleNewest();
    void takeResult();

    std::unique_ptr<Panel> panel_;
    std::function<void()> onShown_;
    bool composited_ = true;
    std::optional<Shown> last_;
    std::optional<Prepared> prepared_;
    std::uint64_t ticket_ = 0;
    // Newly scaled pictures change the window at most once a frame.
    std::chrono::steady_clock::time_point nextChange_;
    // Shared with the scaling queue: the newest job waiting, the newest result on its way back.
    std::unique_ptr<Scaling> scaling_;
    // Receives the results on the main thread; lives as long as the overlay, unlike the window.
    std::unique_ptr<QObject> receiver_;
    // Last, so that it is stopped first: its tasks use the members above.
    std::unique_ptr<platform::DispatchQueue> scaler_;
};

// The window rectangle, in Qt's device-independent pixels, of a rectangle in X pixels.
QRect logicalRect(const Annotations::Rect& frame);

}  // namespace OverlayWindows
