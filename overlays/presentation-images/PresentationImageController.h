#pragma once
// Shows the phone's presentation picture over one display: feeds the model, has completed documents
// decoded, chooses the display (the one the owner views, else the one in use, else the one carrying
// annotations, else the pointer's) and keeps a presenter in step. Main thread only; decoding and the
// system's displays come in as closures, so the rules run without windows.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "overlays/annotations/AnnotationDisplayChoice.h"
#include "overlays/presentation-images/PresentationImageModel.h"
#include "protocol/messages/Message.h"

namespace PresentationImages {

class PresentationImagePresenting {
  public:
    virtual ~PresentationImagePresenting() = default;
    virtual void show(const PresentationImagePicture& picture, const PresentationImageFrame& frame,
                      const Rect& screen) = 0;
    virtual void hide() = 0;
};

class PresentationImageController {
  public:
    using Completion = std::function<void(std::optional<PresentationImagePicture>)>;
    // Starts decoding the encoded picture the owner sent; the completion runs later on the main thread,
    // or never when a newer picture of the same owner supersedes it before its decode began.
    using Open = std::function<void(const UUID& owner, TrackpadProtocol::Data, Completion)>;
    using FrameOfDisplay = std::function<std::optional<Rect>(std::uint32_t)>;
    using DisplayQuery = std::function<std::optional<std::uint32_t>()>;

    PresentationImageController(std::shared_ptr<PresentationImagePresenting> presenter, Open open,
                                FrameOfDisplay frameOfDisplay, DisplayQuery pointerDisplay);
    ~PresentationImageController();
    PresentationImageController(const PresentationImageController&) = delete;
    PresentationImageController& operator=(const PresentationImageController&) = delete;

    void handle(const PresentationImage& image, const UUID& owner);
    void observe(const TrackpadProtocol::Message& message, const UUID& owner);
    void refresh();
    void screenParametersDidChange();
    void setMarksDisplay(DisplayQuery marksDisplay) { marksDisplay_ = std::move(marksDisplay); }

    PresentationImageModel& model() { return model_; }
    const PresentationImageModel& model() const { return model_; }
    Annotations::AnnotationDisplayChoice& displays() { return displays_; }
    const std::optional<std::uint32_t>& displayID() const { return displayID_; }
    const std::optional<Rect>& screenFrame() const { return screenFrame_; }

  private:
    struct Presented {
        PresentationImagePicture picture;
        PresentationImageFrame frame;
        Rect screen;
    };

    void finishDecode(std::optional<PresentationImagePicture> picture, PresentationImageModel::Ticket ticket);
    void chooseDisplay();

    PresentationImageModel model_;
    std::shared_ptr<PresentationImagePresenting> presenter_;
    Open open_;
    FrameOfDisplay frameOfDisplay_;
    DisplayQuery pointerDisplay_;
    Annotations::AnnotationDisplayChoice displays_;
    DisplayQuery marksDisplay_;
    std::optional<std::uint32_t> displayID_;
    std::optional<Rect> screenFrame_;
    std::optional<Presented> presented_;
    // Completions of decodes still running hold this weakly: a result arriving after the controller is
    // gone is dropped.
    std::shared_ptr<PresentationImageController*> alive_;
};

}  // namespace PresentationImages
