#pragma once
// The screen capture source on X11: displays from the process's display directory, live captures that each read their
// monitor on a thread of their own (MIT-SHM, cursor from XFixes, converted to I420 BT.709), and single
// screenshots in BGRX through the same grab.
//
// Thread: any; calls from several session queues at once are fine (each makes its own connection).
#include <atomic>
#include <memory>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/WorkerThread.h"
#include "screen-view/CaptureSeams.h"
#include "screen-view/DirectoryDisplays.h"

namespace ScreenView {

class SystemScreenCaptureSource final : public ScreenCaptureSource {
  public:
    // Lists and finds displays through `displays`, which follows the same X display (empty name:
    // $DISPLAY).
    explicit SystemScreenCaptureSource(std::shared_ptr<const DirectoryDisplays> displays,
                                       std::string displayName = {});
    // A stop does not wait for a backlog: screenshots not yet begun are dropped, and one being read in
    // bands ends at the next band, answered as failed. Screenshots nobody wants any more are dropped
    // likewise, one at a time.
    ~SystemScreenCaptureSource() override;

    std::vector<ScreenDisplay> displays() override;
    std::shared_ptr<ScreenCapture> startCapture(std::uint32_t displayID,
                                                const CaptureConfiguration& configuration,
                                                FrameHandler onFrame, StopHandler onStop) override;
    void screenshot(std::uint32_t displayID, int pixelWidth, int pixelHeight, ScreenshotWanted wanted,
                    ScreenshotCompletion completion) override;

  private:
    std::shared_ptr<const DirectoryDisplays> directory_;
    std::string displayName_;
    std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
    platform::DispatchQueue screenshots_;
};

// A live capture of one monitor: grabs at the configured rate on its own thread
// ("dev.quelmar.trackpad.mac.screenview.capture"), scales and converts each grab into the configured size,
// and hands frames on with CLOCK_MONOTONIC timestamps. Ends by itself, once, with displayUnavailable
// when the monitor goes away, screenRecordingDenied when the display cannot be reached, or failed.
class DisplayStreamCapture final : public ScreenCapture {
  public:
    DisplayStreamCapture(std::shared_ptr<const DirectoryDisplays> displays, std::string displayName,
                         std::uint32_t displayID, CaptureConfiguration configuration,
                         ScreenCaptureSource::FrameHandler onFrame, ScreenCaptureSource::StopHandler onStop);
    // Stops and joins the capture thread; from the thread itself (a handler that let go of the capture)
    // the thread ends by itself once the handler returns.
    ~DisplayStreamCapture() override;
    DisplayStreamCapture(const DisplayStreamCapture&) = delete;
    DisplayStreamCapture& operator=(const DisplayStreamCapture&) = delete;

    void start();
    void stop() override;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;  // shared with the thread, which may outlive the capture
    platform::WorkerThread thread_;
};

}  // namespace ScreenView
