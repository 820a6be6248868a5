#pragma once
// The Qt windows of the overlays: frameless, always on top, click-through, never activated, with a
// translucent background. Each presenter makes its window on first use and keeps it.
//
// Thread: main thread only (the thread of the QApplication).
#include <memory>

#include "overlays/Annotations/AnnotationOverlayController.h"
#include "overlays/Annotations/PointerHighlightController.h"
#include "overlays/PresentationImages/PresentationImageController.h"

namespace OverlayWindows {

// Draws an annotation scene over a display: the dim with its rounded spotlight hole, then the marks
// with round caps and joins at their own opacity.
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

    struct Panel;

  private:
    std::unique_ptr<Panel> panel_;
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

    struct Panel;

  private:
    void ensurePanel();
    std::unique_ptr<Panel> panel_;
    int generation_ = 0;
};

// The presentation picture over a display, scaled smoothly into its frame.
class PresentationImageOverlay final : public PresentationImages::PresentationImagePresenting {
  public:
    PresentationImageOverlay();
    ~PresentationImageOverlay() override;
    void show(const PresentationImages::PresentationImagePicture& picture,
              const PresentationImages::PresentationImageFrame& frame,
              const Annotations::Rect& screen) override;
    void hide() override;
    unsigned long windowID() const;
    // Called after the picture window is shown, so annotations stay above it.
    void setOnShown(std::function<void()> onShown) { onShown_ = std::move(onShown); }

    struct Panel;

  private:
    std::unique_ptr<Panel> panel_;
    std::function<void()> onShown_;
};

}  // namespace OverlayWindows
