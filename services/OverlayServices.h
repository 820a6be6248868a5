#pragma once
// The presentation overlays: the phone's drawings over the screen, the pictures it shows, and the glow
// around a shaken pointer. Frames are in the desktop's coordinates (top-left origin, y down).
//
// Thread: every call comes from the main queue, and every closure given here is called there.
#include <cstdint>
#include <functional>
#include <optional>

#include "protocol/messages/Message.h"
#include "protocol/messages/Types.h"
#include "services/InputServices.h"

namespace Shell {

struct ScreenFrame {
    double x = 0, y = 0, width = 0, height = 0;
    bool operator==(const ScreenFrame&) const = default;
};

// The displays as the overlays see them.
class OverlayDisplays {
  public:
    virtual ~OverlayDisplays() = default;
    // The frame of the screen containing the pointer, else the main screen's frame.
    virtual ScreenFrame pointerScreenFrame() = 0;
    // The id of the display whose frame equals `frame`, if any.
    virtual std::optional<std::uint32_t> displayIDForScreenFrame(const ScreenFrame& frame) = 0;
};

class AnnotationService {
  public:
    virtual ~AnnotationService() = default;

    // One annotation from a phone: owner check, the phone's colour, the model, the display; renders.
    virtual void handle(const TrackpadProtocol::Annotation& annotation, const DeviceID& device) = 0;
    // Follows which display the phone is viewing (screen-view and screenshot requests).
    virtual void observe(const TrackpadProtocol::Message& message, const DeviceID& device) = 0;
    // The controller's clock (seconds of system uptime).
    virtual double now() = 0;
    // Applies one annotation to the model at `time` without an owner check (the runtime's clear).
    virtual void applyToModel(const TrackpadProtocol::Annotation& annotation, double time) = 0;
    virtual void render(double time) = 0;
    // Forget the viewed displays and colours of phones that are gone; a drawing goes with its owner.
    virtual void retainDevices(const DeviceSet& devices) = 0;
    virtual void removeDevice(const DeviceID& device) = 0;
    // The frame of the screen the drawing is on, none while nothing is drawn.
    virtual std::optional<ScreenFrame> screenFrame() = 0;
    // Where a drawing goes when the phone views no particular display.
    virtual void setPointerScreen(std::function<ScreenFrame()> pointerScreen) = 0;
};

class PresentationImageService {
  public:
    virtual ~PresentationImageService() = default;

    // One presentationImage message (parts, placement, fit, close) from a phone.
    virtual void handle(const TrackpadProtocol::PresentationImage& image, const DeviceID& device) = 0;
    virtual void observe(const TrackpadProtocol::Message& message, const DeviceID& device) = 0;
    // Shows, moves or hides the picture after its model changed.
    virtual void refresh() = 0;
    // The display choice's bookkeeping of phones that are gone.
    virtual void retainDisplayChoices(const DeviceSet& devices) = 0;
    virtual void removeDisplayChoice(const DeviceID& device) = 0;
    // The model's pictures (and parts in transit) of phones that are gone, or all; true when the shown
    // picture changed (then the runtime calls refresh).
    virtual bool retainOwners(const DeviceSet& owners) = 0;
    virtual bool removeOwner(const DeviceID& owner) = 0;
    virtual void resetModel() = 0;
    // The frame of the screen the shown picture is on; none while no picture shows.
    virtual std::optional<ScreenFrame> screenFrame() = 0;
    // Which display carries the phone's drawing, so a picture can stay off it.
    virtual void setMarksDisplay(std::function<std::optional<std::uint32_t>()> marksDisplay) = 0;
};

class PointerHighlightService {
  public:
    virtual ~PointerHighlightService() = default;
    // Shows the glow when the user's preference allows it.
    virtual void pointerDidShake() = 0;
    // Hides the glow if it shows and stops its ticking.
    virtual void hide() = 0;
};

}  // namespace Shell
