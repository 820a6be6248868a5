#pragma once
// The shell's overlay services over the toolkit-free controllers: annotations, the presentation
// picture and the pointer highlight. The composition root hands in the presenters (the Qt windows in
// the process, recordings in tests), the display lookups and the main executor.
//
// Thread: main thread only; decoding runs on its own queues and reports back through the executor.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "overlays/annotations/AnnotationOverlayController.h"
#include "overlays/annotations/PointerHighlightController.h"
#include "overlays/presentation-images/PresentationImageController.h"
#include "overlays/presentation-images/PresentationImageDecodeQueue.h"
#include "platform/Executor.h"
#include "services/OverlayServices.h"

namespace OverlayWindows {

using FrameOfDisplay = std::function<std::optional<Annotations::Rect>(std::uint32_t)>;

// Ticks on the executor's timers (the main EventLoop in the process, virtual time in tests).
Annotations::StartTicking executorTicker(platform::Executor& executor, double interval);

Shell::ScreenFrame toScreenFrame(const Annotations::Rect& rect);
Annotations::Rect toRect(const Shell::ScreenFrame& frame);

class AnnotationOverlayService final : public Shell::AnnotationService {
  public:
    AnnotationOverlayService(std::shared_ptr<Annotations::AnnotationPresenting> presenter,
                             FrameOfDisplay frameOfDisplay, platform::Executor& main);

    void handle(const TrackpadProtocol::Annotation& annotation, const Shell::DeviceID& device) override;
    void observe(const TrackpadProtocol::Message& message, const Shell::DeviceID& device) override;
    double now() override { return controller_.clock()(); }
    void applyToModel(const TrackpadProtocol::Annotation& annotation, double time) override;
    void render(double time) override { controller_.render(time); }
    void retainDevices(const Shell::DeviceSet& devices) override { controller_.retainDevices(devices); }
    void removeDevice(const Shell::DeviceID& device) override { controller_.removeDevice(device); }
    std::optional<Shell::ScreenFrame> screenFrame() override;
    void setPointerScreen(std::function<Shell::ScreenFrame()> pointerScreen) override;

    void screenParametersChanged() { controller_.screenParametersChanged(); }
    Annotations::AnnotationOverlayController& controller() { return controller_; }

  private:
    std::function<Shell::ScreenFrame()> pointerScreen_;
    Annotations::AnnotationOverlayController controller_;
};

class PresentationImageOverlayService final : public Shell::PresentationImageService {
  public:
    // Pictures of different phones decode at once, one on each of `decodeQueues`; results hop back
    // through `main`. A phone's decodes stop when the runtime drops its pictures.
    PresentationImageOverlayService(
        std::shared_ptr<PresentationImages::PresentationImagePresenting> presenter,
        FrameOfDisplay frameOfDisplay, std::function<std::optional<std::uint32_t>()> pointerDisplay,
        platform::Executor& main, PresentationImages::PresentationImageDecodeQueue::Workers decodeQueues);

    void handle(const TrackpadProtocol::PresentationImage& image, const Shell::DeviceID& device) override;
    void observe(const TrackpadProtocol::Message& message, const Shell::DeviceID& device) override;
    void refresh() override { controller_.refresh(); }
    void retainDisplayChoices(const Shell::DeviceSet& devices) override;
    void removeDisplayChoice(const Shell::DeviceID& device) override;
    bool retainOwners(const Shell::DeviceSet& owners) override;
    bool removeOwner(const Shell::DeviceID& owner) override;
    void resetModel() override;
    std::optional<Shell::ScreenFrame> screenFrame() override;
    void setMarksDisplay(std::function<std::optional<std::uint32_t>()> marksDisplay) override;

    void screenParametersDidChange() { controller_.screenParametersDidChange(); }
    // Stops every picture's decode, running or waiting (the process quits).
    void stopDecodes();
    PresentationImages::PresentationImageController& controller() { return controller_; }

  private:
    std::shared_ptr<PresentationImages::PresentationImageDecodeQueue> decodes_;
    PresentationImages::PresentationImageController controller_;
};

class PointerHighlightOverlayService final : public Shell::PointerHighlightService {
  public:
    PointerHighlightOverlayService(std::function<bool()> highlightsPointerOnShake,
                                   std::shared_ptr<Annotations::PointerHighlightPresenting> presenter,
                                   std::function<Annotations::Point()> mouseLocation,
                                   platform::Executor& main);
    void pointerDidShake() override { controller_.pointerDidShake(); }
    void hide() override { controller_.hide(); }
    Annotations::PointerHighlightController& controller() { return controller_; }

  private:
    Annotations::PointerHighlightController controller_;
};

}  // namespace OverlayWindows
