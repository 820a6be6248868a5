#pragma once
// The glow around a shaken pointer: shown on a shake while the preference allows it, follows the
// pointer at 120 Hz and hides once the pointer has stood still for 3 s. Main thread only; the pointer,
// the clock, the ticker and the preference come in as closures.
#include <functional>
#include <memory>

#include "overlays/annotations/AnnotationOverlayController.h"
#include "overlays/annotations/Geometry.h"

namespace Annotations {

class PointerHighlightPresenting {
  public:
    virtual ~PointerHighlightPresenting() = default;
    virtual void show(Point point) = 0;
    virtual void move(Point point) = 0;
    virtual void hide() = 0;
};

class PointerHighlightController {
  public:
    static constexpr double tickInterval = 1.0 / 120;
    static constexpr double stillnessDuration = 3.0;

    PointerHighlightController(std::function<bool()> highlightsPointerOnShake,
                               std::shared_ptr<PointerHighlightPresenting> presenter,
                               std::function<Point()> mouseLocation, std::function<double()> clock,
                               StartTicking startTicking);
    ~PointerHighlightController();
    PointerHighlightController(const PointerHighlightController&) = delete;
    PointerHighlightController& operator=(const PointerHighlightController&) = delete;

    void pointerDidShake();
    void hide();
    void tick();

    bool isVisible() const { return isVisible_; }
    bool isTicking() const { return static_cast<bool>(stopTicking_); }

  private:
    std::function<bool()> highlightsPointerOnShake_;
    std::shared_ptr<PointerHighlightPresenting> presenter_;
    std::function<Point()> mouseLocation_;
    std::function<double()> clock_;
    StartTicking startTicking_;
    bool isVisible_ = false;
    Point lastLocation_;
    double lastMovement_ = 0;
    std::function<void()> stopTicking_;
};

// The top-left corner of the 64x64 glow centred on the pointer on whole pixels, halves rounded away
// from zero.
Point pointerHighlightOrigin(Point pointer);

}  // namespace Annotations
