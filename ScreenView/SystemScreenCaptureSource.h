#pragma once
// The screen capture source on X11: displays from the RandR monitors, live captures that each read their
// monitor on a thread of their own (MIT-SHM, cursor from XFixes, converted to I420 BT.709), and single
// screenshots in BGRX through the same grab.
//
// Thread: any; calls from several session queues at once are fine (each makes its own connection).
#include <memory>
#include <string>

#include "ScreenView/CaptureSeams.h"
#include "platform/DispatchQueue.h"

namespace ScreenView {

class SystemScreenCaptureSource final : public ScreenCaptureSource {
  public:
    // Empty display name: $DISPLAY.
    explicit SystemScreenCaptureSource(std::string displayName = {});
    // Screenshots already asked for are still answered.
    ~SystemScreenCaptureSource() override;

    std::vector<ScreenDisplay> displays() override;
    std::shared_ptr<ScreenCapture> startCapture(std::uint32_t displayID,
                                                const CaptureConfiguration& configuration,
                                                FrameHandler onFrame, StopHandler onStop) override;
    void screenshot(std::uint32_t displayID, int pixelWidth, int pixelHeight,
                    ScreenshotCompletion completion) override;

  private:
    std::string displayName_;
    platform::DispatchQueue screenshots_;
};

// A live capture of one monitor: grabs at the configured rate on its own thread
// ("dev.quelmar.trackpad.mac.screenview.capture"), scales and converts each grab into the configured size,
// and hands frames on with CLOCK_MONOTONIC timestamps. Ends by itself, once, with displayUnavailable
// when the monitor goes away, screenRecordingDenied when the display cannot be reached, or failed.
class DisplayStreamCapture final : public ScreenCapture {
  public:
    DisplayStreamCapture(std::string displayName, std::uint32_t displayID, CaptureConfiguration configuration,
                         ScreenCaptureSource::FrameHandler onFrame, ScreenCaptureSource::StopHandler onStop);
    // Stops and joins the capture thread.
    ~DisplayStreamCapture() override;
    DisplayStreamCapture(const DisplayStreamCapture&) = delete;
    DisplayStreamCapture& operator=(const DisplayStreamCapture&) = delete;

    void start();
    void stop() override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ScreenView
