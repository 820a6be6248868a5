#pragma once
// Shows one phone's drawing over one display. Decides which phone may draw, keeps the model, chooses
// the display and hands scenes to a presenter; a 60 Hz tick runs only while marks wait for or go
// through their fade, or while new pen points wait to be drawn. Main thread only; everything that touches the system comes in as closures, so
// the rules run without windows or timers.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "overlays/annotations/AnnotationDisplayChoice.h"
#include "overlays/annotations/AnnotationModel.h"
#include "overlays/annotations/AnnotationScene.h"

namespace Annotations {

class AnnotationPresenting {
  public:
    virtual ~AnnotationPresenting() = default;
    virtual void present(const AnnotationScene& scene, const Rect& frame) = 0;
    virtual void hide() = 0;
};

// Takes the tick action and returns the closure that stops the ticking; once it has run, the action is
// never called again.
using StartTicking = std::function<std::function<void()>(std::function<void()>)>;

class AnnotationOverlayController {
  public:
    using UUID = TrackpadProtocol::UUID;
    using FrameOfDisplay = std::function<std::optional<Rect>(std::uint32_t)>;
    using PointerScreen = std::function<std::optional<Rect>()>;
    using Clock = std::function<double()>;

    static constexpr double tickInterval = 1.0 / 60;

    AnnotationOverlayController(AnnotationModel model, std::shared_ptr<AnnotationPresenting> presenter,
                                PointerScreen pointerScreen, FrameOfDisplay frameOfDisplay, Clock clock,
                                StartTicking startTicking);
    ~AnnotationOverlayController();
    AnnotationOverlayController(const AnnotationOverlayController&) = delete;
    AnnotationOverlayController& operator=(const AnnotationOverlayController&) = delete;

    void handle(const TrackpadProtocol::Annotation& annotation, const UUID& phone);
    void observe(const TrackpadProtocol::Message& message, const UUID& phone);
    void retainDevices(const std::unordered_set<UUID>& phones);
    void removeDevice(const UUID& phone);
    void render(double now);
    // Clears the drawing now: on stop, on loss of the input permission, and for input that arrives
    // without it.
    void reset();
    // The display configuration changed: the drawing goes to the owner's viewed display, else the
    // pointer's screen.
    void screenParametersChanged();
    void tick() { render(clock_()); }
    void setPointerScreen(PointerScreen pointerScreen) { pointerScreen_ = std::move(pointerScreen); }

    const std::optional<UUID>& ownerDeviceID() const { return ownerDeviceID_; }
    const AnnotationModel& model() const { return model_; }
    AnnotationModel& model() { return model_; }
    const AnnotationDisplayChoice& displays() const { return displays_; }
    const std::optional<Rect>& screenFrame() const { return screenFrame_; }
    bool isTicking() const { return static_cast<bool>(stopTicking_); }
    const Clock& clock() const { return clock_; }

  private:
    AnnotationColor colorForDevice(const UUID& phone) const;
    void stopTick();

    std::optional<UUID> ownerDeviceID_;
    AnnotationModel model_;
    std::shared_ptr<AnnotationPresenting> presenter_;
    PointerScreen pointerScreen_;
    FrameOfDisplay frameOfDisplay_;
    AnnotationDisplayChoice displays_;
    std::unordered_map<UUID, AnnotationColor> colors_;
    Clock clock_;
    StartTicking startTicking_;
    std::optional<Rect> screenFrame_;
    std::optional<AnnotationScene> presentedScene_;
    std::optional<Rect> presentedScreen_;
    std::function<void()> stopTicking_;
};

}  // namespace Annotations
