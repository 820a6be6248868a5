#include "overlays/presentation-images/PresentationImageController.h"

namespace PresentationImages {

PresentationImageController::PresentationImageController(
    std::shared_ptr<PresentationImagePresenting> presenter, Open open, FrameOfDisplay frameOfDisplay,
    DisplayQuery pointerDisplay)
    : presenter_(std::move(presenter)),
      open_(std::move(open)),
      frameOfDisplay_(std::move(frameOfDisplay)),
      pointerDisplay_(std::move(pointerDisplay)),
      marksDisplay_([] { return std::nullopt; }),
      alive_(std::make_shared<PresentationImageController*>(this)) {}

PresentationImageController::~PresentationImageController() = default;

void PresentationImageController::handle(const PresentationImage& image, const UUID& owner) {
    auto outcome = model_.receive(image, owner);
    if (auto* delivery = std::get_if<PresentationImageModel::Delivery>(&outcome)) {
        std::weak_ptr<PresentationImageController*> weak = alive_;
        auto ticket = delivery->ticket;
        open_(delivery->owner, std::move(delivery->image), [weak, ticket](std::optional<PresentationImagePicture> picture) {
            if (auto self = weak.lock())
                (*self)->finishDecode(std::move(picture), ticket);
        });
    } else if (std::holds_alternative<PresentationImageModel::Changed>(outcome)) {
        refresh();
    }
}

void PresentationImageController::finishDecode(std::optional<PresentationImagePicture> picture,
                                               PresentationImageModel::Ticket ticket) {
    bool shown = false;
    if (picture && !picture->image.empty()) {
        shown = model_.finish(ticket, std::move(*picture));
    } else {
        model_.fail(ticket);
    }
    if (shown) {
        chooseDisplay();
        refresh();
    }
}

void PresentationImageController::observe(const TrackpadProtocol::Message& message, const UUID& owner) {
    if (!displays_.observe(message, owner))
        return;
    if (model_.shown() && model_.shown()->owner == owner) {
        chooseDisplay();
        refresh();
    }
}

void PresentationImageController::screenParametersDidChange() {
    if (!model_.shown())
        return;
    chooseDisplay();
    refresh();
}

void PresentationImageController::chooseDisplay() {
    std::optional<std::uint32_t> candidates[] = {
        model_.shown() ? displays_.viewedDisplay(model_.shown()->owner) : std::nullopt,
        displayID_,
        marksDisplay_ ? marksDisplay_() : std::nullopt,
        pointerDisplay_ ? pointerDisplay_() : std::nullopt,
    };
    for (const auto& candidate : candidates) {
        if (!candidate)
            continue;
        if (auto frame = frameOfDisplay_(*candidate)) {
            displayID_ = candidate;
            screenFrame_ = frame;
            return;
        }
    }
    displayID_.reset();
    screenFrame_.reset();
}

void PresentationImageController::refresh() {
    const auto& shown = model_.shown();
    if (shown && screenFrame_) {
        auto frame = model_.frame(screenFrame_->size);
        if (frame && frame->visible.size.width > 0 && frame->visible.size.height > 0) {
            if (presented_ && presented_->picture == shown->picture && presented_->frame == *frame &&
                presented_->screen == *screenFrame_) {
                return;
            }
            presented_ = Presented{shown->picture, *frame, *screenFrame_};
            presenter_->show(shown->picture, *frame, *screenFrame_);
            return;
        }
    }
    if (!shown) {
        displayID_.reset();
        screenFrame_.reset();
    }
    if (presented_) {
        presented_.reset();
        presenter_->hide();
    }
}

}  // namespace PresentationImages
