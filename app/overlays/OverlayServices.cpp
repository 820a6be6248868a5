#include "app/overlays/OverlayServices.h"

#include <memory>
#include <mutex>
#include <utility>

#include "overlays/presentation-images/PresentationImageDecodeQueue.h"
#include "platform/DispatchQueue.h"

namespace OverlayWindows {

using Annotations::Rect;

Shell::ScreenFrame toScreenFrame(const Rect& rect) {
    return {rect.origin.x, rect.origin.y, rect.size.width, rect.size.height};
}

Rect toRect(const Shell::ScreenFrame& frame) {
    return {{frame.x, frame.y}, {frame.width, frame.height}};
}

Annotations::StartTicking executorTicker(platform::Executor& executor, double interval) {
    auto period = std::chrono::microseconds(static_cast<std::int64_t>(interval * 1e6));
    return [&executor, period](std::function<void()> action) -> std::function<void()> {
        // One timer at a time, rescheduled by each tick; the stop closure cancels it and disarms
        // the chain, so no tick runs after it.
        struct Chain {
            bool stopped = false;
            platform::Executor::TimerID timer = 0;
            std::function<void()> action;
        };
        auto chain = std::make_shared<Chain>();
        chain->action = std::move(action);
        auto arm = std::make_shared<std::function<void()>>();
        std::weak_ptr<std::function<void()>> weakArm = arm;
        *arm = [&executor, period, chain, weakArm] {
            chain->timer = executor.schedule(
                period,
                [chain, weakArm] {
                    if (chain->stopped)
                        return;
                    auto again = weakArm.lock();
                    if (again)
                        (*again)();  // re-arm first, so a tick that stops the chain cancels the next
                    chain->action();
                },
                period / 4);
        };
        (*arm)();
        return [&executor, chain, arm] {
            chain->stopped = true;
            executor.cancel(chain->timer);
        };
    };
}

// ---- Annotations ----------------------------------------------------------------------------------------

AnnotationOverlayService::AnnotationOverlayService(
    std::shared_ptr<Annotations::AnnotationPresenting> presenter, FrameOfDisplay frameOfDisplay,
    platform::Executor& main)
    : controller_(
          Annotations::AnnotationModel({4.0, 0.6}), std::move(presenter),
          [this]() -> std::optional<Rect> {
              if (!pointerScreen_)
                  return std::nullopt;
              auto frame = pointerScreen_();
              if (frame.width <= 0 || frame.height <= 0)
                  return std::nullopt;
              return toRect(frame);
          },
          std::move(frameOfDisplay), [&main] { return main.now(); },
          executorTicker(main, Annotations::AnnotationOverlayController::tickInterval)) {}

void AnnotationOverlayService::handle(const TrackpadProtocol::Annotation& annotation,
                                      const Shell::DeviceID& device) {
    controller_.handle(annotation, device);
}

void AnnotationOverlayService::observe(const TrackpadProtocol::Message& message,
                                       const Shell::DeviceID& device) {
    controller_.observe(message, device);
}

void AnnotationOverlayService::applyToModel(const TrackpadProtocol::Annotation& annotation, double time) {
    controller_.model().apply(annotation, time);
}

std::optional<Shell::ScreenFrame> AnnotationOverlayService::screenFrame() {
    if (!controller_.screenFrame())
        return std::nullopt;
    return toScreenFrame(*controller_.screenFrame());
}

void AnnotationOverlayService::setPointerScreen(std::function<Shell::ScreenFrame()> pointerScreen) {
    pointerScreen_ = std::move(pointerScreen);
}

// ---- Presentation picture -------------------------------------------------------------------------------

namespace {

// The newest decoded picture on its way to the main thread. However fast pictures decode, one post at a
// time waits in the main loop; a result that a newer one overtakes is dropped, as the model would drop it
// (only the newest picture counts). Pictures decode side by side, so a newer picture's result may come
// first: newer means submitted later, whatever finishes first.
struct DecodedPicture {
    std::mutex mutex;
    std::uint64_t submitted = 0;    // pictures submitted so far
    std::uint64_t newest = 0;       // the number of the newest result taken
    std::function<void()> deliver;  // that result, bound to its completion, until posted
    bool posted = false;
};

void deliverOnMain(platform::Executor& main, const std::shared_ptr<DecodedPicture>& mailbox,
                   std::uint64_t number, std::function<void()> deliver) {
    std::function<void()> overtaken;  // released outside the lock
    bool post = false;
    {
        std::lock_guard lock(mailbox->mutex);
        if (number < mailbox->newest)
            return;
        mailbox->newest = number;
        overtaken = std::exchange(mailbox->deliver, std::move(deliver));
        post = !std::exchange(mailbox->posted, true);
    }
    if (!post)
        return;
    main.post([mailbox] {
        std::function<void()> newest;
        {
            std::lock_guard lock(mailbox->mutex);
            newest = std::exchange(mailbox->deliver, nullptr);
            mailbox->posted = false;
        }
        if (newest)
            newest();
    });
}

}  // namespace

PresentationImageOverlayService::PresentationImageOverlayService(
    std::shared_ptr<PresentationImages::PresentationImagePresenting> presenter, FrameOfDisplay frameOfDisplay,
    std::function<std::optional<std::uint32_t>()> pointerDisplay, platform::Executor& main,
    PresentationImages::PresentationImageDecodeQueue::Workers decodeQueues)
    : decodes_(PresentationImages::PresentationImageDecodeQueue::make(std::move(decodeQueues))),
      controller_(
          std::move(presenter),
          [&main, decodes = decodes_, mailbox = std::make_shared<DecodedPicture>()](
              const TrackpadProtocol::UUID& owner, TrackpadProtocol::Data data,
              PresentationImages::PresentationImageController::Completion done) {
              // At most one waiting picture per phone, and one decoded picture on its way to the main
              // thread; the model's ticket check drops results that came too late.
              std::uint64_t number = 0;
              {
                  std::lock_guard lock(mailbox->mutex);
                  number = ++mailbox->submitted;
              }
              decodes->submit(
                  owner, std::move(data),
                  [&main, mailbox, number, done = std::move(done)](
                      std::optional<PresentationImages::PresentationImagePicture> picture) mutable {
                      deliverOnMain(main, mailbox, number,
                                    [done = std::move(done), picture = std::move(picture)]() mutable {
                                        done(std::move(picture));
                                    });
                  });
          },
          std::move(frameOfDisplay), std::move(pointerDisplay)) {}

void PresentationImageOverlayService::handle(const TrackpadProtocol::PresentationImage& image,
                                             const Shell::DeviceID& device) {
    controller_.handle(image, device);
}

void PresentationImageOverlayService::observe(const TrackpadProtocol::Message& message,
                                              const Shell::DeviceID& device) {
    controller_.observe(message, device);
}

void PresentationImageOverlayService::retainDisplayChoices(const Shell::DeviceSet& devices) {
    controller_.displays().retainDevices(devices);
}

void PresentationImageOverlayService::removeDisplayChoice(const Shell::DeviceID& device) {
    controller_.displays().removeDevice(device);
}

// A phone that is gone has its decodes stopped with its pictures: one still decoding would hold the
// worker, and every other phone's picture, for nobody.
bool PresentationImageOverlayService::retainOwners(const Shell::DeviceSet& owners) {
    decodes_->stop([&owners](const TrackpadProtocol::UUID& owner) { return !owners.contains(owner); });
    return controller_.model().retain(owners);
}

bool PresentationImageOverlayService::removeOwner(const Shell::DeviceID& owner) {
    decodes_->stop([&owner](const TrackpadProtocol::UUID& other) { return other == owner; });
    return controller_.model().remove(owner);
}

void PresentationImageOverlayService::resetModel() {
    stopDecodes();
    controller_.model().reset();
}

void PresentationImageOverlayService::stopDecodes() {
    decodes_->stop([](const TrackpadProtocol::UUID&) { return true; });
}

std::optional<Shell::ScreenFrame> PresentationImageOverlayService::screenFrame() {
    if (!controller_.screenFrame())
        return std::nullopt;
    return toScreenFrame(*controller_.screenFrame());
}

void PresentationImageOverlayService::setMarksDisplay(
    std::function<std::optional<std::uint32_t>()> marksDisplay) {
    controller_.setMarksDisplay(std::move(marksDisplay));
}

// ---- Pointer highlight ----------------------------------------------------------------------------------

PointerHighlightOverlayService::PointerHighlightOverlayService(
    std::function<bool()> highlightsPointerOnShake,
    std::shared_ptr<Annotations::PointerHighlightPresenting> presenter,
    std::function<Annotations::Point()> mouseLocation, platform::Executor& main)
    : controller_(
          std::move(highlightsPointerOnShake), std::move(presenter), std::move(mouseLocation),
          [&main] { return main.now(); },
          executorTicker(main, Annotations::PointerHighlightController::tickInterval)) {}

}  // namespace OverlayWindows
