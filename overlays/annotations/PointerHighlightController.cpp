#include "overlays/annotations/PointerHighlightController.h"

#include <cmath>

namespace Annotations {

PointerHighlightController::PointerHighlightController(std::function<bool()> highlightsPointerOnShake,
                                                       std::shared_ptr<PointerHighlightPresenting> presenter,
                                                       std::function<Point()> mouseLocation,
                                                       std::function<double()> clock,
                                                       StartTicking startTicking)
    : highlightsPointerOnShake_(std::move(highlightsPointerOnShake)),
      presenter_(std::move(presenter)),
      mouseLocation_(std::move(mouseLocation)),
      clock_(std::move(clock)),
      startTicking_(std::move(startTicking)) {}

PointerHighlightController::~PointerHighlightController() {
    if (stopTicking_)
        stopTicking_();
}

void PointerHighlightController::pointerDidShake() {
    if (!highlightsPointerOnShake_())
        return;
    lastLocation_ = mouseLocation_();
    lastMovement_ = clock_();
    if (isVisible_)
        return;
    isVisible_ = true;
    presenter_->show(lastLocation_);
    // The destructor stops the tick, so the action never outlives the controller.
    stopTicking_ = startTicking_([this] { tick(); });
}

void PointerHighlightController::tick() {
    if (!isVisible_)
        return;
    if (!highlightsPointerOnShake_())
        return hide();
    double now = clock_();
    Point p = mouseLocation_();
    if (p.x != lastLocation_.x || p.y != lastLocation_.y) {
        lastLocation_ = p;
        lastMovement_ = now;
        presenter_->move(p);
    } else if (now - lastMovement_ >= stillnessDuration) {
        hide();
    }
}

void PointerHighlightController::hide() {
    if (!isVisible_)
        return;
    isVisible_ = false;
    if (stopTicking_) {
        auto stop = std::move(stopTicking_);
        stopTicking_ = nullptr;
        stop();
    }
    presenter_->hide();
}

Point pointerHighlightOrigin(Point pointer) {
    return {std::round(pointer.x - 32), std::round(pointer.y - 32)};
}

}  // namespace Annotations
