#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Executor.h"
#include "screen-view/FrameConverter.h"
#include "screen-view/RowRanges.h"
#include "screen-view/SystemScreenCaptureSource.h"
#include "screen-view/XDisplayConnection.h"
#include "screen-view/XScreenChanges.h"
#include "screen-view/XScreenGrabber.h"

namespace ScreenView {

namespace {

using Clock = std::chrono::steady_clock;

// How often the capture checks that its monitor still exists and where it is; the display change
// notifier reports resizes to the session, which restarts the view at the new size.
constexpr auto monitorCheckInterval = std::chrono::milliseconds(500);
// Frames handed out are reused once everyone has let them go; a few more than the session can hold
// (waiting, latest, two at the encoder) so that the capture never waits.
constexpr std::size_t framePoolSize = 6;
// A still screen sends no frames; the last one goes out again this often, so that the encoder can still
// put out a keyframe by time and a phone that lost track sees the picture again.
constexpr auto stillRepeatInterval = std::chrono::seconds(1);
// Changed bands closer than this are read in one request.
constexpr int rowGapToJoin = 32;

std::optional<ScreenDisplayList::Description> findMonitor(const DirectoryDisplays& displays,
                                                          std::uint32_t id) {
    for (auto& monitor : ScreenDisplayList::descriptions(displays.displays())) {
        if (monitor.id == id) {
            return monitor;
        }
    }
    return std::nullopt;
}

}  // namespace

struct DisplayStreamCapture::Impl {
    std::shared_ptr<const DirectoryDisplays> displays;
    std::string displayName;
    std::uint32_t displayID;
    CaptureConfiguration configuration;
    ScreenCaptureSource::FrameHandler onFrame;
    ScreenCaptureSource::StopHandler onStop;

    std::mutex mutex;
    std::condition_variable wake;
    bool isFinished = false;

    // Frames handed out are reused once everyone has let them go. Each remembers the rows that changed
    // since it was last written, so that only those are converted again.
    struct Pooled {
        std::shared_ptr<VideoFrame> frame;
        RowRanges stale;
        // Some reader still holds the frame as handed out. Cleared, with release, when the last one lets
        // go of it, so that a capture that finds it clear (with acquire) writes only after their reads.
        std::shared_ptr<std::atomic<bool>> leased = std::make_shared<std::atomic<bool>>(false);
    };
    // What a reader's pointer to a frame keeps alive: letting go of the last one frees the frame.
    struct Lease {
        Lease(std::shared_ptr<VideoFrame> frame, std::shared_ptr<std::atomic<bool>> leased)
            : frame(std::move(frame)), leased(std::move(leased)) {
            this->leased->store(true, std::memory_order_relaxed);
        }
        ~Lease() { leased->store(false, std::memory_order_release); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        const std::shared_ptr<VideoFrame> frame;
        const std::shared_ptr<std::atomic<bool>> leased;
    };
    static std::shared_ptr<const VideoFrame> lend(Pooled& pooled) {
        auto lease = std::make_shared<Lease>(pooled.frame, pooled.leased);
        VideoFrame* frame = lease->frame.get();
        return std::shared_ptr<const VideoFrame>(std::move(lease), frame);
    }
    std::vector<Pooled> pool;

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
    // A frame nobody else reads, with the rows it has to take over (all of them for a new one).
    Pooled* freeFrame(Pooled& spare) {
        for (Pooled& pooled : pool) {
            if (!pooled.leased->load(std::memory_order_acquire)) {
                return &pooled;
            }
        }
        Pooled fresh{std::make_shared<VideoFrame>(configuration.pixelWidth, configuration.pixelHeight), {}};
        fresh.stale.add(0, configuration.pixelHeight);
        if (pool.size() < framePoolSize) {
            pool.push_back(std::move(fresh));
            return &pool.back();
        }
        spare = std::move(fresh);
        return &spare;
    }
    void markChanged(const RowRanges& rows) {
        for (Pooled& pooled : pool) {
            pooled.stale.add(rows);
        }
    }
};

DisplayStreamCapture::DisplayStreamCapture(std::shared_ptr<const DirectoryDisplays> displays,
                                           std::string displayName, std::uint32_t displayID,
                                           CaptureConfiguration configuration,
                                           ScreenCaptureSource::FrameHandler onFrame,
                                           ScreenCaptureSource::StopHandler onStop)
    : impl_(std::make_shared<Impl>()) {
    impl_->displays = std::move(displays);
    impl_->displayName = std::move(displayName);
    impl_->displayID = displayID;
    impl_->configuration = configuration;
    impl_->onFrame = std::move(onFrame);
    impl_->onStop = std::move(onStop);
}

DisplayStreamCapture::~DisplayStreamCapture() {
    stop();
    thread_.join();
}

void DisplayStreamCapture::start() {
    thread_ = platform::WorkerThread("screenview.capt", [impl = impl_] { impl->run(); });
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
    std::optional<ScreenDisplayList::Description> monitor = findMonitor(*displays, displayID);
    if (!monitor) {
        finish(ScreenCaptureError::displayUnavailable());
        return;
    }
    XScreenGrabber grabber(display);
    XScreenChanges screenChanges(display);
    FrameConverter converter;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / config.framesPerSecond));
    // What the grab buffer holds: the monitor rectangle it was read for (none: nothing usable yet), and
    // the rows the cursor was drawn over.
    DisplayBounds grabbed;
    bool grabbedAny = false;
    RowRange cursorDrawn;
    constexpr std::pair<int, int> nowhere{INT_MIN, INT_MIN};
    std::pair<int, int> pointer = nowhere;
    std::shared_ptr<const VideoFrame> lastFrame;
    Clock::time_point lastDelivery;
    auto next = Clock::now();
    auto nextCheck = next + monitorCheckInterval;
    while (!finished()) {
        const auto now = Clock::now();
        if (now >= nextCheck) {
            nextCheck = now + monitorCheckInterval;
            monitor = findMonitor(*displays, displayID);
            if (!monitor) {
                finish(xcb_connection_has_error(display.get()) != 0
                           ? ScreenCaptureError::failed("the X display connection was lost")
                           : ScreenCaptureError::displayUnavailable());
                return;
            }
        }
        const DisplayBounds bounds = monitor->bounds;
        // Rows of the monitor that differ from the grab buffer.
        const XScreenChanges::Changes changes = screenChanges.collect();
        RowRanges dirty;
        const bool grabbedElsewhere = !grabbedAny || grabbed != bounds;
        if (changes.everything || grabbedElsewhere) {
            dirty.add(0, bounds.height);
        } else {
            for (const DisplayBounds& area : changes.areas) {
                if (area.x < bounds.x + bounds.width && bounds.x < area.x + area.width) {
                    dirty.add(std::max(area.y - bounds.y, 0),
                              std::min(area.y + area.height - bounds.y, bounds.height));
                }
            }
        }
        // The cursor is ours to draw: where it was must be read again, and it is drawn where it is now.
        if (changes.cursorImageChanged || changes.pointer.value_or(nowhere) != pointer || grabbedElsewhere) {
            pointer = changes.pointer.value_or(nowhere);
            grabber.readCursor();
            // Also when only the column changed: the same rows hold it elsewhere.
            dirty.add(cursorDrawn);
            dirty.add(grabber.cursorRows(bounds));
        }
        const RowRange cursorNow = grabber.cursorRows(bounds);
        // Rows under the cursor that are read again are read whole, so that it is drawn once over fresh
        // pixels.
        if (dirty.intersects(cursorNow)) {
            dirty.add(cursorNow);
        }
        if (!dirty.empty()) {
            dirty.joinCloserThan(rowGapToJoin);
            std::string error;
            XScreenGrabber::Outcome outcome = XScreenGrabber::Outcome::grabbed;
            for (const RowRange& rows : dirty.ranges()) {
                outcome = grabber.grabRows(bounds, rows.first, rows.end, error);
                if (outcome != XScreenGrabber::Outcome::grabbed) {
                    break;
                }
            }
            if (outcome == XScreenGrabber::Outcome::failed) {
                finish(ScreenCaptureError::failed(error));
                return;
            }
            if (outcome == XScreenGrabber::Outcome::outsideScreen) {
                // The screen shrank under the monitor: look again at once, and read it whole then.
                grabbedAny = false;
                nextCheck = Clock::now();
            } else {
                grabbed = bounds;
                grabbedAny = true;
                if (dirty.intersects(cursorNow)) {
                    grabber.drawCursor(bounds);
                }
                cursorDrawn = cursorNow;
                const std::uint64_t timestamp =
                    static_cast<std::uint64_t>(platform::monotonicSeconds() * 1e6);
                const bool sameSize =
                    bounds.width == config.pixelWidth && bounds.height == config.pixelHeight;
                markChanged(dirty);
                Pooled spare;
                Pooled* target = freeFrame(spare);
                bool converted = true;
                if (sameSize) {
                    for (const RowRange& rows : target->stale.ranges()) {
                        converted = converted && converter.convertRows(grabber.pixels(), grabber.stride(),
                                                                       bounds.width, bounds.height,
                                                                       *target->frame, rows.first, rows.end);
                    }
                } else {
                    converted = converter.convert(grabber.pixels(), grabber.stride(), bounds.width,
                                                  bounds.height, *target->frame);
                }
                if (converted) {
                    target->stale.clear();
                    lastFrame = lend(*target);
                    lastDelivery = Clock::now();
                    onFrame(CapturedFrame{lastFrame, timestamp});
                } else {
                    target->stale.add(0, config.pixelHeight);
                }
            }
        } else if (lastFrame && Clock::now() - lastDelivery >= stillRepeatInterval) {
            lastDelivery = Clock::now();
            onFrame(CapturedFrame{lastFrame, static_cast<std::uint64_t>(platform::monotonicSeconds() * 1e6)});
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
