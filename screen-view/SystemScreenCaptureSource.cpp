#include "screen-view/SystemScreenCaptureSource.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include "screen-view/ScreenDisplayList.h"
#include "screen-view/ScreenshotImage.h"
#include "screen-view/XDisplayConnection.h"
#include "screen-view/XScreenGrabber.h"

namespace ScreenView {

SystemScreenCaptureSource::SystemScreenCaptureSource(std::shared_ptr<const DirectoryDisplays> displays,
                                                     std::string displayName)
    : directory_(std::move(displays)),
      displayName_(std::move(displayName)),
      screenshots_("dev.quelmar.trackpad.mac.screenview.capture") {}

SystemScreenCaptureSource::~SystemScreenCaptureSource() {
    stopping_->store(true);
    screenshots_.discardPending();
}

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
    return ScreenDisplayList::screenDisplays(ScreenDisplayList::descriptions(directory_->displays()),
                                             pointer);
}

std::shared_ptr<ScreenCapture> SystemScreenCaptureSource::startCapture(
    std::uint32_t displayID, const CaptureConfiguration& configuration, FrameHandler onFrame,
    StopHandler onStop) {
    auto capture = std::make_shared<DisplayStreamCapture>(directory_, displayName_, displayID, configuration,
                                                          std::move(onFrame), std::move(onStop));
    capture->start();
    return capture;
}

namespace {

// One band of a monitor: what the server copies for one request.
constexpr std::size_t bandBytes = XScreenGrabber::maxBytesPerRequest;

ScreenCaptureSource::ScreenshotResult outcomeError(XScreenGrabber::Outcome outcome,
                                                   const std::string& error) {
    if (outcome == XScreenGrabber::Outcome::outsideScreen) {
        return ScreenCaptureError::displayUnavailable();
    }
    return ScreenCaptureError::failed(error);
}

// Screenshots of the largest monitors are images of over a hundred megabytes: the process holds one such
// image at a time, from its capture until its encoding is done, whichever phones and sessions ask. The
// next waits for it (or gives up when nobody wants it any more).

class LargeImageGate {
  public:
    bool enter(const std::function<bool()>& goOn) {
        std::unique_lock lock(mutex_);
        while (held_) {
            if (!goOn()) {
                return false;
            }
            freed_.wait_for(lock, std::chrono::milliseconds(50));
        }
        held_ = true;
        return true;
    }
    void leave() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        freed_.notify_one();
    }

  private:
    std::mutex mutex_;
    std::condition_variable freed_;
    bool held_ = false;
};

LargeImageGate& largeImageGate() {
    static LargeImageGate gate;
    return gate;
}

// Leaves the gate when the last holder of the image lets it go.
struct GatedImage {
    std::shared_ptr<BgraImage> image;
    bool entered = false;
    GatedImage() = default;
    GatedImage(const GatedImage&) = delete;
    GatedImage& operator=(const GatedImage&) = delete;
    ~GatedImage() {
        image.reset();
        if (entered) {
            largeImageGate().leave();
        }
    }
};

// Read in bands of whole rows, each copied or shrunk into the image as it comes: besides the image, the
// process holds one band of the monitor at a time (a monitor wider or taller than an image may be is
// never held whole), and the server copies no more than a band for it at once.
ScreenCaptureSource::ScreenshotResult grabInBands(XScreenGrabber& grabber, const DisplayBounds& bounds,
                                                  int pixelWidth, int pixelHeight,
                                                  const std::function<bool()>& goOn) {
    const bool sameSize = pixelWidth == bounds.width && pixelHeight == bounds.height;
    auto gated = std::make_shared<GatedImage>();
    if (ScreenshotImage::isLargeImage(pixelWidth, pixelHeight)) {
        if (!largeImageGate().enter(goOn)) {
            return ScreenCaptureError::failed("the screenshot is no longer wanted");
        }
        gated->entered = true;
    }
    std::shared_ptr<BgraImage> image;
    std::unique_ptr<ScreenshotImage::BandScaler> scaler;
    if (sameSize) {
        image = std::make_shared<BgraImage>(bounds.width, bounds.height);
    } else {
        scaler = ScreenshotImage::BandScaler::make(bounds.width, bounds.height, pixelWidth, pixelHeight);
        if (!scaler) {
            return ScreenCaptureError::failed("Could not render screenshot frame");
        }
    }
    const std::size_t rowBytes = static_cast<std::size_t>(bounds.width) * 4;
    const int rowsPerBand = static_cast<int>(std::max<std::size_t>(1, bandBytes / rowBytes));
    for (int top = 0; top < bounds.height; top += rowsPerBand) {
        if (!goOn()) {
            return ScreenCaptureError::failed("the screenshot is no longer wanted");
        }
        const DisplayBounds band{bounds.x, bounds.y + top, bounds.width,
                                 std::min(rowsPerBand, bounds.height - top)};
        std::string error;
        const XScreenGrabber::Outcome outcome = grabber.grab(band, error);
        if (outcome != XScreenGrabber::Outcome::grabbed) {
            return outcomeError(outcome, error);
        }
        if (scaler) {
            scaler->addRows(grabber.pixels(), static_cast<std::size_t>(grabber.stride()), band.height);
            continue;
        }
        for (int row = 0; row < band.height; ++row) {
            std::memcpy(
                image->row(top + row),
                grabber.pixels() + static_cast<std::size_t>(row) * static_cast<std::size_t>(grabber.stride()),
                rowBytes);
        }
    }
    gated->image = scaler ? scaler->finish() : std::move(image);
    if (!gated->image) {
        return CapturedImage{};
    }
    BgraImage* const pixels = gated->image.get();
    return CapturedImage{std::shared_ptr<const BgraImage>(std::move(gated), pixels)};
}

ScreenCaptureSource::ScreenshotResult takeScreenshot(const DirectoryDisplays& directory,
                                                     const std::string& name, std::uint32_t displayID,
                                                     int pixelWidth, int pixelHeight,
                                                     const std::function<bool()>& goOn) {
    // No image of the requested size can be made: the answer is a failure, not a thrown size.
    if (pixelWidth < 1 || pixelHeight < 1 || pixelWidth > ScreenshotImage::maxImageSide ||
        pixelHeight > ScreenshotImage::maxImageSide) {
        return ScreenCaptureError::failed("Could not render screenshot frame");
    }
    XDisplayConnection display(name);
    if (!display.usable()) {
        return ScreenCaptureError::screenRecordingDenied();
    }
    std::optional<ScreenDisplayList::Description> monitor;
    for (auto& candidate : ScreenDisplayList::descriptions(directory.displays())) {
        if (candidate.id == displayID) {
            monitor = candidate;
            break;
        }
    }
    if (!monitor) {
        return ScreenCaptureError::displayUnavailable();
    }
    XScreenGrabber grabber(display);
    return grabInBands(grabber, monitor->bounds, pixelWidth, pixelHeight, goOn);
}

}  // namespace

void SystemScreenCaptureSource::screenshot(std::uint32_t displayID, int pixelWidth, int pixelHeight,
                                           ScreenshotWanted wanted, ScreenshotCompletion completion) {
    screenshots_.async([directory = directory_, name = displayName_, displayID, pixelWidth, pixelHeight,
                        stopping = stopping_, wanted = std::move(wanted),
                        completion = std::move(completion)] {
        const std::function<bool()> goOn = [&] { return !*stopping && (!wanted || wanted()); };
        // A phone that left while this waited its turn costs the phones after it nothing.
        if (!goOn()) {
            completion(ScreenCaptureError::failed("the screenshot is no longer wanted"));
            return;
        }
        // Every request is answered once: a fault while taking it (memory, the X connection) becomes a
        // failure the phone is told about.
        ScreenshotResult result = ScreenCaptureError::failed("Could not render screenshot frame");
        try {
            result = takeScreenshot(*directory, name, displayID, pixelWidth, pixelHeight, goOn);
        } catch (const std::exception& error) {
            result = ScreenCaptureError::failed(error.what());
        }
        completion(std::move(result));
    });
}

}  // namespace ScreenView
