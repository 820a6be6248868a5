#include "overlays/annotations/AnnotationOverlayController.h"

namespace Annotations {

using TrackpadProtocol::Annotation;
using TrackpadProtocol::Message;

AnnotationOverlayController::AnnotationOverlayController(AnnotationModel model,
                                                         std::shared_ptr<AnnotationPresenting> presenter,
                                                         PointerScreen pointerScreen,
                                                         FrameOfDisplay frameOfDisplay, Clock clock,
                                                         StartTicking startTicking)
    : model_(std::move(model)),
      presenter_(std::move(presenter)),
      pointerScreen_(std::move(pointerScreen)),
      frameOfDisplay_(std::move(frameOfDisplay)),
      clock_(std::move(clock)),
      startTicking_(std::move(startTicking)) {}

AnnotationOverlayController::~AnnotationOverlayController() {
    stopTick();
}

AnnotationColor AnnotationOverlayController::colorForDevice(const UUID& phone) const {
    auto entry = colors_.find(phone);
    return entry == colors_.end() ? AnnotationColor::standard : entry->second;
}

void AnnotationOverlayController::handle(const Annotation& annotation, const UUID& phone) {
    if (auto* color = std::get_if<Annotation::Color>(&annotation.kind)) {
        colors_[phone] = color->color;
        return;
    }
    // A pen sends points far faster than a display shows frames, and every scene holds the whole
    // stroke: a point only joins the model here, and the next tick draws all that came since, so a
    // long stroke costs a frame's work per frame rather than per point.
    if (std::holds_alternative<Annotation::Update>(annotation.kind)) {
        if (ownerDeviceID_ && *ownerDeviceID_ == phone && model_.apply(annotation, clock_()) && !stopTicking_)
            stopTicking_ = startTicking_([this] { tick(); });
        return;
    }
    render(clock_());
    bool isBegin = std::holds_alternative<Annotation::Begin>(annotation.kind);
    if (!ownerDeviceID_) {
        if (!isBegin)
            return;
        ownerDeviceID_ = phone;
    } else if (*ownerDeviceID_ != phone) {
        return;
    }
    double now = clock_();
    if (isBegin) {
        std::optional<Rect> current = model_.isEmpty() ? std::nullopt : screenFrame_;
        screenFrame_ = displays_.chooseFrame(phone, current, frameOfDisplay_, pointerScreen_);
        model_.apply(Annotation{Annotation::Color{colorForDevice(phone)}}, now);
    }
    if (model_.apply(annotation, now))
        render(now);
}

void AnnotationOverlayController::render(double now) {
    model_.prune(now);
    if (!model_.isEmpty() && screenFrame_) {
        AnnotationScene scene = model_.scene(screenFrame_->size, now, AnnotationStyle::standard);
        if (!(presentedScene_ == scene && presentedScreen_ == screenFrame_)) {
            presentedScene_ = scene;
            presentedScreen_ = screenFrame_;
            presenter_->present(scene, *screenFrame_);
        }
        if (model_.hasScheduledFades()) {
            // The destructor stops the tick, so the action never outlives the controller.
            if (!stopTicking_)
                stopTicking_ = startTicking_([this] { tick(); });
        } else {
            stopTick();
        }
        return;
    }
    model_.apply(Annotation{Annotation::Clear{}}, now);
    stopTick();
    ownerDeviceID_.reset();
    screenFrame_.reset();
    presentedScreen_.reset();
    if (presentedScene_) {
        presentedScene_.reset();
        presenter_->hide();
    }
}

void AnnotationOverlayController::reset() {
    double now = clock_();
    model_.apply(Annotation{Annotation::Clear{}}, now);
    render(now);
}

void AnnotationOverlayController::observe(const Message& message, const UUID& phone) {
    if (!displays_.observe(message, phone))
        return;
    if (!ownerDeviceID_ || *ownerDeviceID_ != phone || model_.isEmpty())
        return;
    screenFrame_ = displays_.chooseFrame(phone, screenFrame_, frameOfDisplay_, pointerScreen_);
    render(clock_());
}

void AnnotationOverlayController::retainDevices(const std::unordered_set<UUID>& phones) {
    displays_.retainDevices(phones);
    std::erase_if(colors_, [&](const auto& entry) { return !phones.contains(entry.first); });
    if (ownerDeviceID_ && !phones.contains(*ownerDeviceID_))
        reset();
}

void AnnotationOverlayController::removeDevice(const UUID& phone) {
    displays_.removeDevice(phone);
    colors_.erase(phone);
    if (ownerDeviceID_ && *ownerDeviceID_ == phone)
        reset();
}

void AnnotationOverlayController::screenParametersChanged() {
    if (model_.isEmpty())
        return;
    screenFrame_ = displays_.chooseFrame(ownerDeviceID_, std::nullopt, frameOfDisplay_, pointerScreen_);
    render(clock_());
}

void AnnotationOverlayController::stopTick() {
    if (!stopTicking_)
        return;
    auto stop = std::move(stopTicking_);
    stopTicking_ = nullptr;
    stop();
}

}  // namespace Annotations
