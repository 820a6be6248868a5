// The X11 side on a private Xvfb with RandR monitors: the display list and its traits, screenshots with a
// test window's colour at its place, live frames at the configured size, a monitor that goes away in the
// middle of a view, and a resize that restarts the view.
#include <xcb/xcb.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/LoopQueue.h"
#include "platform/ManualExecutor.h"
#include "screen-view/Bt709Converter.h"
#include "screen-view/DirectoryDisplays.h"
#include "screen-view/H264Encoder.h"
#include "screen-view/ScreenViewSession.h"
#include "screen-view/SystemScreenCaptureSource.h"
#include "screen-view/SystemScreenRecordingPermission.h"
#include "screen-view/tests/ScreenViewFakes.h"
#include "testing/LoopThread.h"
#include "testing/XvfbServer.h"

namespace ScreenView {
namespace {

using testing_support::XvfbServer;
using TrackpadProtocol::Message;
using TrackpadProtocol::ScreenDisplay;

#define REQUIRE_XVFB()                                                                 \
    if (!XvfbServer::isInstalled()) {                                                  \
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh installs it)"; \
    }

// An unmanaged window of one colour, shown until the object goes.
class ColourWindow {
  public:
    ColourWindow(const std::string& display, int x, int y, int width, int height, std::uint32_t rgb)
        : connection_(xcb_connect(display.c_str(), nullptr)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        window_ = xcb_generate_id(connection_);
        const std::uint32_t values[] = {rgb, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root,
                          static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(connection_, window_);
        sync();
    }
    ~ColourWindow() { xcb_disconnect(connection_); }
    void setColour(std::uint32_t rgb) {
        xcb_change_window_attributes(connection_, window_, XCB_CW_BACK_PIXEL, &rgb);
        xcb_clear_area(connection_, 0, window_, 0, 0, 0, 0);
        sync();
    }
    void warpPointer(int x, int y) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        xcb_warp_pointer(connection_, XCB_NONE, screen->root, 0, 0, 0, 0, static_cast<std::int16_t>(x),
                         static_cast<std::int16_t>(y));
        sync();
    }

  private:
    void sync() {
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    xcb_connection_t* connection_;
    xcb_window_t window_ = 0;
};

XvfbServer::Options twoMonitors() {
    XvfbServer::Options options;
    options.width = 1920;
    options.height = 1080;
    options.monitors = {{"left", 0, 0, 1280, 1080, false}, {"right", 1280, 0, 640, 480, true}};
    return options;
}

// The displays as the process follows them, looking again every 0.2 s: Xvfb announces no monitor a test
// sets or deletes.
std::shared_ptr<DirectoryDisplays> displaysOf(const XvfbServer& server) {
    auto displays = DirectoryDisplays::open(server.displayName(), std::chrono::milliseconds(200));
    EXPECT_NE(displays, nullptr);
    return displays;
}

const std::uint8_t* pixelAt(const BgraImage& image, int x, int y) {
    return image.row(y) + 4 * x;
}

TEST(XCapture, DisplayListFollowsTheMonitorsWithMainFirstAndThePointer) {
    REQUIRE_XVFB();
    XvfbServer server(twoMonitors());
    SystemScreenCaptureSource source(displaysOf(server), server.displayName());
    ColourWindow window(server.displayName(), 0, 0, 10, 10, 0);
    window.warpPointer(100, 700);
    const std::vector<ScreenDisplay> displays = source.displays();
    ASSERT_EQ(displays.size(), 2u);
    EXPECT_EQ(displays[0].name, "right");
    EXPECT_EQ(displays[0].pixelWidth, 640);
    EXPECT_EQ(displays[0].pixelHeight, 480);
    EXPECT_EQ(displays[0].traits, ScreenDisplay::Traits::main);
    EXPECT_EQ(displays[1].pixelWidth, 1280);
    EXPECT_EQ(displays[1].pixelHeight, 1080);
    EXPECT_EQ(displays[1].traits, ScreenDisplay::Traits::containsPointer);
    EXPECT_NE(displays[0].id, displays[1].id);
    EXPECT_NE(displays[0].id, 0u);
    // Ids are stable while the monitors live.
    EXPECT_EQ(source.displays()[1].id, displays[1].id);

    auto permission = SystemScreenRecordingPermission::system(std::make_shared<platform::ManualExecutor>(),
                                                              server.displayName());
    EXPECT_TRUE(permission->isGranted());
    auto unreachable =
        SystemScreenRecordingPermission::system(std::make_shared<platform::ManualExecutor>(), ":9999");
    EXPECT_FALSE(unreachable->isGranted());
}

TEST(XCapture, ScreenshotsHaveTheMonitorsSizeAndTheWindowsColourAtItsPlace) {
    REQUIRE_XVFB();
    XvfbServer server(twoMonitors());
    SystemScreenCaptureSource source(displaysOf(server), server.displayName());
    ColourWindow red(server.displayName(), 1280 + 100, 50, 200, 100, 0xff0000);
    ColourWindow blue(server.displayName(), 10, 10, 50, 50, 0x0000ff);
    const auto displays = source.displays();
    std::mutex mutex;
    std::condition_variable done;
    std::vector<ScreenCaptureSource::ScreenshotResult> results;
    auto completion = [&](ScreenCaptureSource::ScreenshotResult result) {
        std::lock_guard lock(mutex);
        results.push_back(std::move(result));
        done.notify_all();
    };
    source.screenshot(displays[0].id, 640, 480, {}, completion);  // "right", at its own size
    source.screenshot(displays[0].id, 320, 240, {}, completion);  // halved
    source.screenshot(424242, 100, 100, {}, completion);
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(10), [&] { return results.size() == 3; }));
    const auto* full = std::get_if<CapturedImage>(&results[0]);
    ASSERT_NE(full, nullptr);
    ASSERT_EQ(full->image->width(), 640);
    ASSERT_EQ(full->image->height(), 480);
    const std::uint8_t* inside = pixelAt(*full->image, 200, 100);
    EXPECT_EQ(inside[0], 0);
    EXPECT_EQ(inside[1], 0);
    EXPECT_EQ(inside[2], 255);
    EXPECT_NE(pixelAt(*full->image, 50, 300)[2], 255);
    const auto* half = std::get_if<CapturedImage>(&results[1]);
    ASSERT_NE(half, nullptr);
    EXPECT_EQ(half->image->width(), 320);
    EXPECT_EQ(pixelAt(*half->image, 100, 50)[2], 255);
    EXPECT_EQ(std::get<ScreenCaptureError>(results[2]), ScreenCaptureError::displayUnavailable());
}

// Frames of a live capture, gathered from the capture thread.
struct Frames {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<CapturedFrame> frames;
    std::vector<ScreenCaptureError> stops;
    ScreenCaptureSource::FrameHandler onFrame() {
        return [this](CapturedFrame frame) {
            std::lock_guard lock(mutex);
            if (frames.size() < 200) {
                frames.push_back(std::move(frame));
            }
            arrived.notify_all();
        };
    }
    ScreenCaptureSource::StopHandler onStop() {
        return [this](ScreenCaptureError error) {
            std::lock_guard lock(mutex);
            stops.push_back(std::move(error));
            arrived.notify_all();
        };
    }
    template <class Condition>
    bool waitFor(Condition condition, double seconds = 10) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, std::chrono::duration<double>(seconds), condition);
    }
};

TEST(XCapture, LiveFramesHaveTheConfiguredSizeTheWindowsColourAndRisingTimes) {
    REQUIRE_XVFB();
    XvfbServer server;
    SystemScreenCaptureSource source(displaysOf(server), server.displayName());
    ColourWindow red(server.displayName(), 400, 200, 400, 200, 0xff0000);
    const auto display = source.displays().at(0);
    Frames frames;
    auto capture = source.startCapture(display.id, {960, 540, 30}, frames.onFrame(), frames.onStop());
    // A still screen sends its first frame, then the same one again each second.
    ASSERT_TRUE(frames.waitFor([&] { return frames.frames.size() >= 2; }));
    capture->stop();
    capture.reset();
    std::lock_guard lock(frames.mutex);
    EXPECT_TRUE(frames.stops.empty());
    const VideoFrame& frame = *frames.frames.back().pixelBuffer;
    EXPECT_EQ(frame.width(), 960);
    EXPECT_EQ(frame.height(), 540);
    // BT.709 limited-range red: Y 63, Cb 102, Cr 240.
    const int x = 300, y = 150;
    EXPECT_NEAR(frame.dataY()[y * frame.strideY() + x], 63, 3);
    EXPECT_NEAR(frame.dataU()[(y / 2) * frame.strideUV() + x / 2], 102, 3);
    EXPECT_NEAR(frame.dataV()[(y / 2) * frame.strideUV() + x / 2], 240, 3);
    for (std::size_t i = 1; i < frames.frames.size(); ++i) {
        EXPECT_GT(frames.frames[i].timestamp, frames.frames[i - 1].timestamp);
    }
}

// Only the newest frame, as the session keeps it, so that the capture reuses its frames.
struct LatestFrame {
    std::mutex mutex;
    std::shared_ptr<const VideoFrame> frame;
    int count = 0;
    ScreenCaptureSource::FrameHandler onFrame() {
        return [this](CapturedFrame captured) {
            std::lock_guard lock(mutex);
            frame = std::move(captured.pixelBuffer);
            count += 1;
        };
    }
    int frames() {
        std::lock_guard lock(mutex);
        return count;
    }
};

bool samePlanes(const VideoFrame& a, const VideoFrame& b) {
    for (int y = 0; y < a.height(); ++y) {
        if (std::memcmp(a.dataY() + y * a.strideY(), b.dataY() + y * b.strideY(), a.width()) != 0) {
            return false;
        }
    }
    for (int y = 0; y < a.height() / 2; ++y) {
        if (std::memcmp(a.dataU() + y * a.strideUV(), b.dataU() + y * b.strideUV(), a.width() / 2) != 0 ||
            std::memcmp(a.dataV() + y * a.strideUV(), b.dataV() + y * b.strideUV(), a.width() / 2) != 0) {
            return false;
        }
    }
    return true;
}

// Whether the newest frame shows what a whole new grab of the display shows, converted the same way.
bool showsTheScreen(SystemScreenCaptureSource& source, std::uint32_t id, LatestFrame& latest) {
    std::promise<ScreenCaptureSource::ScreenshotResult> shot;
    source.screenshot(id, 640, 480, {}, [&](ScreenCaptureSource::ScreenshotResult result) {
        shot.set_value(std::move(result));
    });
    const auto result = shot.get_future().get();
    const auto* image = std::get_if<CapturedImage>(&result);
    if (image == nullptr) {
        return false;
    }
    VideoFrame expected(640, 480);
    Bt709Converter::convertRows(image->image->data(), image->image->stride(), expected, 0, 480);
    std::lock_guard lock(latest.mutex);
    return latest.frame && samePlanes(*latest.frame, expected);
}

TEST(XCapture, AStillScreenSendsNothingButARepeatAndChangedRowsArriveWholeAndRight) {
    REQUIRE_XVFB();
    XvfbServer server(twoMonitors());
    SystemScreenCaptureSource source(displaysOf(server), server.displayName());
    ColourWindow window(server.displayName(), 1280 + 100, 50, 200, 100, 0xff0000);
    window.warpPointer(1280 + 320, 400);
    const std::uint32_t right = source.displays().at(0).id;  // 640x480, captured at its own size
    LatestFrame latest;
    Frames stops;
    auto capture = source.startCapture(right, {640, 480, 60}, latest.onFrame(), stops.onStop());
    ASSERT_TRUE(testing_support::eventually([&] { return latest.frames() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int settled = latest.frames();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(latest.frames(), settled) << "a still screen sent frames";
    EXPECT_TRUE(showsTheScreen(source, right, latest));
    // A frame somebody still holds is never written again, however the screen changes meanwhile.
    std::shared_ptr<const VideoFrame> held;
    {
        std::lock_guard lock(latest.mutex);
        held = latest.frame;
    }
    VideoFrame heldCopy(640, 480);
    std::memcpy(heldCopy.dataY(), held->dataY(), static_cast<std::size_t>(held->strideY()) * 480);

    // A window that changes colour, then the pointer moving across it: each is read again, and the
    // frame that follows equals a whole new grab (the old cursor rows read back, the new ones drawn).
    for (int step = 0; step < 6; ++step) {
        if (step % 2 == 0) {
            window.setColour(step == 2 ? 0x0000ff : 0x00ff00 + static_cast<std::uint32_t>(step));
        } else {
            // Sideways only, the third time: the cursor's rows stay, its columns change.
            window.warpPointer(1280 + 120 + 60 * step, step == 5 ? 120 : 60 + 20 * step);
        }
        EXPECT_TRUE(testing_support::eventually([&] { return showsTheScreen(source, right, latest); }, 3))
            << "step " << step;
    }
    // Still again: the last frame goes out once a second, not more.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int before = latest.frames();
    std::shared_ptr<const VideoFrame> last;
    {
        std::lock_guard lock(latest.mutex);
        last = latest.frame;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_GE(latest.frames() - before, 1);
    EXPECT_LE(latest.frames() - before, 2);
    std::lock_guard lock(latest.mutex);
    EXPECT_EQ(latest.frame, last);
    capture->stop();
    EXPECT_EQ(std::memcmp(heldCopy.dataY(), held->dataY(), static_cast<std::size_t>(held->strideY()) * 480),
              0)
        << "a frame still held was written again";
}

TEST(XCapture, ASixteenBitScreenIsPhotographedAndViewedInItsColours) {
    REQUIRE_XVFB();
    XvfbServer::Options options;
    options.width = 640;
    options.height = 480;
    options.depth = 16;
    XvfbServer server(options);
    SystemScreenCaptureSource source(displaysOf(server), server.displayName());
    ColourWindow red(server.displayName(), 100, 100, 200, 100, 0xf800);  // red in 5-6-5
    const std::uint32_t id = source.displays().at(0).id;
    std::promise<ScreenCaptureSource::ScreenshotResult> shot;
    source.screenshot(id, 640, 480, {}, [&](ScreenCaptureSource::ScreenshotResult result) {
        shot.set_value(std::move(result));
    });
    const auto result = shot.get_future().get();
    const auto* image = std::get_if<CapturedImage>(&result);
    ASSERT_NE(image, nullptr) << std::get<ScreenCaptureError>(result).description();
    const std::uint8_t* inside = pixelAt(*image->image, 150, 150);
    EXPECT_EQ(inside[0], 0);
    EXPECT_EQ(inside[1], 0);
    EXPECT_EQ(inside[2], 255);
    Frames frames;
    auto capture = source.startCapture(id, {640, 480, 30}, frames.onFrame(), frames.onStop());
    ASSERT_TRUE(frames.waitFor([&] { return !frames.frames.empty() || !frames.stops.empty(); }));
    capture->stop();
    std::lock_guard lock(frames.mutex);
    ASSERT_TRUE(frames.stops.empty()) << frames.stops[0].description();
    const VideoFrame& frame = *frames.frames.back().pixelBuffer;
    EXPECT_EQ(frame.dataY()[150 * frame.strideY() + 150], 63);
    EXPECT_EQ(frame.dataU()[75 * frame.strideUV() + 75], 102);
    EXPECT_EQ(frame.dataV()[75 * frame.strideUV() + 75], 240);
}

TEST(XCapture, AMonitorRemovedMidViewEndsTheCaptureOnceAsUnavailable) {
    REQUIRE_XVFB();
    XvfbServer server(twoMonitors());
    SystemScreenCaptureSource source(displaysOf(server), server.displayName());
    const auto displays = source.displays();
    Frames frames;
    auto capture = source.startCapture(displays[0].id, {640, 480, 30}, frames.onFrame(), frames.onStop());
    ASSERT_TRUE(frames.waitFor([&] { return !frames.frames.empty(); }));
    server.deleteMonitor("right");
    ASSERT_TRUE(frames.waitFor([&] { return !frames.stops.empty(); }, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    capture->stop();
    std::lock_guard lock(frames.mutex);
    ASSERT_EQ(frames.stops.size(), 1u);
    EXPECT_EQ(frames.stops[0], ScreenCaptureError::displayUnavailable());

    // A capture of a monitor that does not exist ends at once the same way; a stopped one never reports.
    Frames none;
    auto missing = source.startCapture(12345, {640, 480, 30}, none.onFrame(), none.onStop());
    ASSERT_TRUE(none.waitFor([&] { return !none.stops.empty(); }));
    Frames stopped;
    auto quiet = source.startCapture(displays[1].id, {640, 480, 30}, stopped.onFrame(), stopped.onStop());
    quiet->stop();
    server.deleteMonitor("left");
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    std::lock_guard quietLock(stopped.mutex);
    EXPECT_TRUE(stopped.stops.empty());
}

TEST(XCapture, ACaptureLetGoOfByItsOwnFrameHandlerEndsOnItsThread) {
    REQUIRE_XVFB();
    XvfbServer server(twoMonitors());
    std::atomic<int> calls{0};
    {
        SystemScreenCaptureSource source(displaysOf(server), server.displayName());
        // The handler holds the capture until its first frame and lets go of it there, on the capture's
        // own thread, while that thread is still inside the handler.
        auto holder = std::make_shared<std::shared_ptr<ScreenCapture>>();
        std::promise<void> held;
        std::atomic<bool> released{false};
        auto capture = source.startCapture(
            source.displays()[0].id, {640, 480, 30},
            [holder, &calls, &released, heldFuture = held.get_future().share()](CapturedFrame) {
                heldFuture.wait();
                if (calls++ == 0) {
                    holder->reset();
                    released = true;
                }
            },
            [](ScreenCaptureError) {});
        *holder = std::move(capture);
        held.set_value();
        ASSERT_TRUE(testing_support::eventually([&] { return released.load(); }));
    }
    EXPECT_TRUE(platform::WorkerThread::joinAll(std::chrono::seconds(10)));
    EXPECT_EQ(calls, 1);
}

TEST(XCapture, AResizedMonitorRestartsTheViewAndARemovedOneEndsIt) {
    REQUIRE_XVFB();
    XvfbServer server(twoMonitors());
    auto changes = displaysOf(server);
    auto source = std::make_shared<SystemScreenCaptureSource>(changes, server.displayName());
    auto encoders = std::make_shared<fakes::FakeEncoderFactory>();
    encoders->autoAnswer = true;
    fakes::RecordingLink link;
    auto session = ScreenViewSession::make(
        {source, encoders, std::make_shared<fakes::FakePermission>(), changes},
        ScreenViewSession::Configuration(2, 0.85), link.send(), ScreenViewSession::Environment{});
    const std::uint32_t right = source->displays()[0].id;
    session->handle(Message::ScreenViewStart{{right, 4096, 30, TrackpadProtocol::ScreenVideoCodecs::h264}});
    auto statuses = [&] {
        std::vector<TrackpadProtocol::ScreenViewStatus> result;
        for (const auto& message : link.take()) {
            if (const auto* status = message.as<Message::ScreenViewStatus>()) {
                result.push_back(status->status);
            }
        }
        return result;
    };
    using State = TrackpadProtocol::ScreenViewStatus::State;
    std::vector<TrackpadProtocol::ScreenViewStatus> seen;
    auto waitForStatus = [&](State state) {
        return testing_support::eventually([&] {
            for (auto& status : statuses()) {
                seen.push_back(status);
            }
            return !seen.empty() && seen.back().state == state;
        });
    };
    ASSERT_TRUE(waitForStatus(State::showing));
    ASSERT_TRUE(testing_support::eventually([&] { return encoders->last()->timestamps().size() > 3; }));
    seen.clear();
    server.setMonitors({{"right", 1280, 0, 560, 400, false}});
    ASSERT_TRUE(waitForStatus(State::showing));
    ASSERT_EQ(encoders->made.size(), 2u);
    EXPECT_EQ(encoders->made[1].pixelWidth, 560);
    EXPECT_EQ(encoders->made[1].pixelHeight, 400);
    seen.clear();
    server.deleteMonitor("right");
    ASSERT_TRUE(waitForStatus(State::displayUnavailable));
    EXPECT_EQ(seen.back().displayID, right);
    session->stop();
    // The session closes and ends on its own queue, which last lets go of the displays: all of that is
    // over before the server goes and the process exits.
    session.reset();
    source.reset();
    changes.reset();
    EXPECT_TRUE(platform::WorkerThread::joinAll(std::chrono::seconds(10)));
}

}  // namespace
}  // namespace ScreenView
