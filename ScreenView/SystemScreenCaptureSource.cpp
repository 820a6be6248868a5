#include "ScreenView/SystemScreenCaptureSource.h"

#include <cstring>

#include "ScreenView/ScreenDisplayList.h"
#include "ScreenView/ScreenshotImage.h"
#include "ScreenView/XMonitors.h"
#include "ScreenView/XScreenGrabber.h"

namespace ScreenView {

SystemScreenCaptureSource::SystemScreenCaptureSource(std::string displayName)
    : displayName_(std::move(displayName)), screenshots_("dev.quelmar.trackpad.mac.screenview.capture") {}

SystemScreenCaptureSource::~SystemScreenCaptureSource() = default;

std::vector<ScreenDisplay> SystemScreenCaptureSource::displays() {
    XDisplayConnection display(displayName_);
    if (!display.usable()) {
        return {};
    }
    std::optional<ScreenDisplayList::Point> pointer;
    const XReply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(display.get(), xcb_query_pointer(display.get(), display.root()), nullptr));
    if (reply && reply->same_screen != 0) {
        pointer = ScreenDisplayList::Point{reply->root_x, reply->root_y};
    }
    // RandR reports monitors in their rotated orientation already, so no size needs swapping.
    return ScreenDisplayList::screenDisplays(readMonitors(display), pointer);
}

std::shared_ptr<ScreenCapture> SystemScreenCaptureSource::startCapture(
    std::uint32_t displayID, const CaptureConfiguration& configuration, FrameHandler onFrame,
    StopHandler onStop) {
    auto capture = std::make_shared<DisplayStreamCapture>(displayName_, displayID, configuration,
                                                          std::move(onFrame), std::move(onStop));
    capture->start();
    return capture;
}

void SystemScreenCaptureSource::screenshot(std::uint32_t displayID, int pixelWidth, int pixelHeight,
                                           ScreenshotCompletion completion) {
    screenshots_.async(
        [name = displayName_, displayID, pixelWidth, pixelHeight, completion = std::move(completion)] {
            XDisplayConnection display(name);
            if (!display.usable()) {
                completion(ScreenCaptureError::screenRecordingDenied());
                return;
            }
            std::optional<ScreenDisplayList::Description> monitor;
            for (auto& candidate : readMonitors(display)) {
                if (candidate.id == displayID) {
                    monitor = candidate;
                    break;
                }
            }
            if (!monitor) {
                completion(ScreenCaptureError::displayUnavailable());
                return;
            }
            XScreenGrabber grabber(display);
            std::string error;
            switch (grabber.grab(monitor->bounds, error)) {
                case XScreenGrabber::Outcome::outsideScreen:
                    completion(ScreenCaptureError::displayUnavailable());
                    return;
                case XScreenGrabber::Outcome::failed:
                    completion(ScreenCaptureError::failed(error));
                    return;
                case XScreenGrabber::Outcome::grabbed:
                    break;
            }
            auto image = std::make_shared<BgraImage>(monitor->bounds.width, monitor->bounds.height);
            std::memcpy(image->data(), grabber.pixels(), image->byteCount());
            if (pixelWidth != image->width() || pixelHeight != image->height()) {
                image = ScreenshotImage::resize(*image, pixelWidth, pixelHeight);
                if (!image) {
                    completion(ScreenCaptureError::failed("Could not render screenshot frame"));
                    return;
                }
            }
            completion(CapturedImage{std::move(image)});
        });
}

}  // namespace ScreenView
