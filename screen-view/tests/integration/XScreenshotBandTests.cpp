// A monitor wider than any image may be, on a private Xvfb: its screenshot is read in bands and shrunk,
// with a window's colour at its place, and a size no image can have is a failure, not a fault.
#include <xcb/xcb.h>

#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "screen-view/DirectoryDisplays.h"
#include "screen-view/SystemScreenCaptureSource.h"
#include "testing/XvfbServer.h"

namespace ScreenView {
namespace {

using testing_support::XvfbServer;

// An unmanaged window of one colour, mapped until the connection goes.
class SolidWindow {
  public:
    SolidWindow(const std::string& display, int x, int y, int width, int height, std::uint32_t rgb)
        : connection_(xcb_connect(display.c_str(), nullptr)) {
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
        const xcb_window_t window = xcb_generate_id(connection_);
        const std::uint32_t values[] = {rgb, 1};
        xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen->root, static_cast<std::int16_t>(x),
                          static_cast<std::int16_t>(y), static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(connection_, window);
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    ~SolidWindow() { xcb_disconnect(connection_); }

  private:
    xcb_connection_t* connection_;
};

TEST(XScreenshotBands, AMonitorWiderThanAnImageIsShrunkBandByBand) {
    if (!XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh installs it)";
    }
    XvfbServer::Options options;
    options.width = 20000;
    options.height = 300;
    XvfbServer server(options);
    auto directory = DirectoryDisplays::open(server.displayName(), std::chrono::milliseconds(200));
    ASSERT_NE(directory, nullptr);
    SystemScreenCaptureSource source(directory, server.displayName());
    // The right half red.
    SolidWindow red(server.displayName(), 10000, 0, 10000, 300, 0xff0000);
    const auto displays = source.displays();
    ASSERT_EQ(displays.size(), 1u);
    ASSERT_EQ(displays[0].pixelWidth, 20000);

    std::mutex mutex;
    std::condition_variable done;
    std::vector<ScreenCaptureSource::ScreenshotResult> results;
    auto completion = [&](ScreenCaptureSource::ScreenshotResult result) {
        std::lock_guard lock(mutex);
        results.push_back(std::move(result));
        done.notify_all();
    };
    source.screenshot(displays[0].id, 400, 6, {}, completion);
    source.screenshot(displays[0].id, 16385, 246, {}, completion);  // no image may be that wide
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return results.size() == 2; }));
    const auto* thumbnail = std::get_if<CapturedImage>(&results[0]);
    ASSERT_NE(thumbnail, nullptr);
    ASSERT_EQ(thumbnail->image->width(), 400);
    ASSERT_EQ(thumbnail->image->height(), 6);
    EXPECT_EQ(thumbnail->image->row(3)[4 * 300 + 2], 255);
    EXPECT_EQ(thumbnail->image->row(3)[4 * 300 + 0], 0);
    EXPECT_NE(thumbnail->image->row(3)[4 * 100 + 2], 255);
    EXPECT_TRUE(std::holds_alternative<ScreenCaptureError>(results[1]));
}

}  // namespace
}  // namespace ScreenView
