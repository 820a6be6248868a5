#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ScreenView/FrameConverter.h"
#include "ScreenView/SystemScreenCaptureSource.h"
#include "ScreenView/XMonitors.h"
#include "ScreenView/XScreenGrabber.h"
#include "platform/Executor.h"

namespace ScreenView {

namespace {

using Clock = std::chrono::steady_clock;

// How often the capture checks that its monitor still exists and where it is; the display change
// notifier reports resizes to the session, which restarts the view at the new size.
constexpr auto monitorCheckInterval = std::chrono::milliseconds(500);
// Frames handed out are reused once everyone has let them go; a few more than the session can hold
// (waiting, latest, two at the encoder) so that the capture never waits.
constexpr std::size_t framePoolSize = 6;

std::optional<ScreenDisplayList::Description> findMonitor(const XDisplayConnection& display,
                                                          std::uint32_t id) {
    for (auto& monitor : readMonitors(display)) {
        if (monitor.id == id) {
            return monitor;
        }
    }
    return std::nullopt;
}

}  // namespace

struct DisplayStreamCapture::Impl {
    std::string displayName;
    std::uint32_t displayID;
    CaptureConfiguration configuration;
    ScreenCaptureSource::FrameHandler onFrame;
    ScreenCaptureSource::StopHandler onStop;

    std::mutex mutex;
    std::condition_variable wake;
    bool isFinished = false;
    std::thread thread;

    std::vector<std::shared_ptr<VideoFrame>> pool;

    void run();
    bool sleepUntil(Clock::time_point deadline) {
        std::unique_lock lock(mutex);
        return !wake.wait_until(lock, deadline, [this] { return isFinished; });
    }
    bool finished() {
        std::lock_guard lock(mutex);
        return isFinished;
    }
    // Ends the capture with `error` unless it already ended or was stopped: onStop runs at most once.
    void finish(ScreenCaptureError error) {
        {
            std::lock_guard lock(mutex);
            if (isFinished) {
                return;
            }
            isFinished = true;
        }
        onStop(std::move(error));
    }
    std::shared_ptr<VideoFrame> freeFrame() {
        for (auto& frame : pool) {
            // Only the pool holds it: nobody reads it any more. The fence pairs with the release of the
            // last reader's reference, so its reads happen before our writes.
            if (frame.use_count() == 1) {
                std::atomic_thread_fence(std::memory_order_acquire);
                return frame;
            }
        }
        auto frame = std::make_shared<VideoFrame>(configuration.pixelWidth, configuration.pixelHeight);
        if (pool.size() < framePoolSize) {
            pool.push_back(frame);
        }
        return frame;
    }
};

DisplayStreamCapture::DisplayStreamCapture(std::string displayName, std::uint32_t displayID,
                                           CaptureConfiguration configuration,
                                           ScreenCaptureSource::FrameHandler onFrame,
                                           ScreenCaptureSource::StopHandler onStop)
    : impl_(std::make_unique<Impl>()) {
    impl_->displayName = std::move(displayName);
    impl_->displayID = displayID;
    impl_->configuration = configuration;
    impl_->onFrame = std::move(onFrame);
    impl_->onStop = std::move(onStop);
}

DisplayStreamCapture::~DisplayStreamCapture() {
    stop();
    if (impl_->thread.joinable()) {
        if (impl_->thread.get_id() == std::this_thread::get_id()) {
            impl_->thread.detach();
        } else {
            impl_->thread.join();
        }
    }
}

void DisplayStreamCapture::start() {
    impl_->thread = std::thread([impl = impl_.get()] {
        pthread_setname_np(pthread_self(), "screenview.capt");
        impl->run();
    });
}

void DisplayStreamCapture::stop() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->isFinished = true;
    }
    impl_->wake.notify_all();
}

void DisplayStreamCapture::Impl::run() {
    const CaptureConfiguration& config = configuration;
    if (config.pixelWidth < 2 || config.pixelHeight < 2 || config.pixelWidth % 2 != 0 ||
        config.pixelHeight % 2 != 0 || config.framesPerSecond < 1) {
        finish(ScreenCaptureError::failed("The capture size or rate is not usable"));
        return;
    }
    XDisplayConnection display(displayName);
    if (!display.usable()) {
        finish(ScreenCaptureError::screenRecordingDenied());
        return;
    }
    std::optional<ScreenDisplayList::Description> monitor = findMonitor(display, displayID);
    if (!monitor) {
        finish(ScreenCaptureError::displayUnavailable());
        return;
    }
    XScreenGrabber grabber(display);
    FrameConverter converter;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / config.framesPerSecond));
    auto next = Clock::now();
    auto nextCheck = next + monitorCheckInterval;
    while (!finished()) {
        const auto now = Clock::now();
        if (now >= nextCheck) {
            nextCheck = now + monitorCheckInterval;
            monitor = findMonitor(display, displayID);
            if (!monitor) {
                finish(xcb_connection_has_error(display.get()) != 0
                           ? ScreenCaptureError::failed("the X display connection was lost")
                           : ScreenCaptureError::displayUnavailable());
                return;
            }
        }
        std::string error;
        const auto outcome = grabber.grab(monitor->bounds, error);
        if (outcome == XScreenGrabber::Outcome::failed) {
            finish(ScreenCaptureError::failed(error));
            return;
        }
        if (outcome == XScreenGrabber::Outcome::outsideScreen) {
            // The screen shrank under the monitor: look again at once.
            nextCheck = Clock::now();
        } else {
            const std::uint64_t timestamp = static_cast<std::uint64_t>(platform::monotonicSeconds() * 1e6);
            std::shared_ptr<VideoFrame> frame = freeFrame();
            if (converter.convert(grabber.pixels(), grabber.stride(), monitor->bounds.width,
                                  monitor->bounds.height, *frame)) {
                onFrame(CapturedFrame{std::shared_ptr<const VideoFrame>(frame), timestamp});
            }
        }
        // Paced to the rate; a grab that overran starts the next one at once rather than catching up.
        next += interval;
        if (next < Clock::now()) {
            next = Clock::now();
        }
        if (!sleepUntil(next)) {
            return;
        }
    }
}

}  // namespace ScreenView
