// The annotation and picture windows on a private X server with a compositing manager (xcompmgr), seen on
// the screen (the root window's pixels): each change of a window's shape shows at once, also one the
// manager takes in while it paints the window's change before, and a drawing that ends leaves the screen
// while its window is kept for the next one.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/overlays/OverlayPanels.h"
#include "platform/imaging/Codecs.h"
#include "testing/CompanionProcess.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

#if defined(LUMIVEX_ADDRESS_SANITIZER)
// Qt's platform plugin asks the session bus for its settings through libdbus, which keeps a buffer for the
// process's life.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\n";
}
#endif

namespace OverlayWindows {
namespace {

using namespace std::chrono_literals;
using Annotations::AnnotationScene;
using Annotations::AnnotationShape;
using Annotations::Rect;

constexpr std::uint32_t red = 0xff3b30;
constexpr std::uint32_t white = 0xffffff;

// Qt's xcb keyboard setup hands strndup() an unterminated buffer, which the address sanitizer's strict
// string checks report although strndup reads no further than its bound: each test runs its body in a
// child process of this binary without those checks, as the end-to-end tests run the companion.
constexpr char childVariable[] = "LUMIVEX_COMPOSITED_OVERLAY_CHILD";

bool inChild() {
    return std::getenv(childVariable) != nullptr;
}

// Runs the current test again in a child process, where its body runs, and takes its verdict.
void runInChild() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const auto result = testing_support::runCommand(
        {"/proc/self/exe", std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
        120s, {{childVariable, "1"}, {"ASAN_OPTIONS", testing_support::companionSanitizerOptions()}});
    std::fputs(result.output.c_str(), stdout);
    EXPECT_EQ(result.exitCode, 0) << result.errors;
}

// One X server, with an application's white window over the whole screen, and one Qt application on it
// for the whole (child) process. Neither is destroyed: Qt's objects must not outlive the application,
// and the server ends with the process.
struct Desktop {
    testing_support::XvfbServer* server = nullptr;
    xcb_connection_t* connection = nullptr;  // the test's own
    xcb_window_t root = 0;
};

Desktop& desktop() {
    static Desktop* shared = [] {
        auto* d = new Desktop;
        d->server = new testing_support::XvfbServer();
        d->connection = xcb_connect(d->server->displayName().c_str(), nullptr);
        auto* screen = xcb_setup_roots_iterator(xcb_get_setup(d->connection)).data;
        d->root = screen->root;
        const xcb_window_t below = xcb_generate_id(d->connection);
        const std::uint32_t values[] = {screen->white_pixel, 1};
        xcb_create_window(d->connection, XCB_COPY_FROM_PARENT, below, d->root, 0, 0, screen->width_in_pixels,
                          screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(d->connection, below);
        xcb_flush(d->connection);
        setenv("DISPLAY", d->server->displayName().c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "composited-overlay-tests";
        static char* argv[] = {name, nullptr};
        new QApplication(argc, argv);
        return d;
    }();
    return *shared;
}

// The screen's pixel, 0x00RRGGBB.
std::uint32_t screenPixel(int x, int y) {
    Desktop& d = desktop();
    auto* image = xcb_get_image_reply(
        d.connection,
        xcb_get_image(d.connection, XCB_IMAGE_FORMAT_Z_PIXMAP, d.root, static_cast<std::int16_t>(x),
                      static_cast<std::int16_t>(y), 1, 1, ~0u),
        nullptr);
    std::uint32_t pixel = 0;
    if (image && xcb_get_image_data_length(image) >= 4)
        pixel = *reinterpret_cast<const std::uint32_t*>(xcb_get_image_data(image)) & 0xffffff;
    std::free(image);
    return pixel;
}

// Runs the Qt loop until `done`, or for `time`.
bool runLoop(std::chrono::milliseconds time, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        if (done())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

QWidget* windowOf(unsigned long id) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->winId() == id)
            return widget;
    }
    return nullptr;
}

AnnotationScene::Item line(std::int64_t id, double y, double fromX, double toX) {
    return {id, {AnnotationShape::Line{{{fromX, y}, {toX, y}}}}, 1, {255, 59, 48}};
}

xcb_connection_t* applicationConnection() {
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

// Waits until the server has handled all the application has sent.
void syncApplication() {
    xcb_connection_t* c = applicationConnection();
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// The X server grabbed by the application: the compositing manager's requests wait, its events still
// reach it.
class HeldCompositor {
  public:
    HeldCompositor() {
        xcb_grab_server(applicationConnection());
        syncApplication();
    }
    ~HeldCompositor() {
        // The window's change is painted before the manager goes on (its posted repaint is sent; no timer
        // runs, so that nothing the window does a frame later falls in the hold).
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::sendPostedEvents();
            syncApplication();
        }
        xcb_ungrab_server(applicationConnection());
        xcb_flush(applicationConnection());
    }
    // The manager reads the damage the application made so far, and its answer waits.
    void letTheManagerTakeInTheRepaint() {
        syncApplication();
        std::this_thread::sleep_for(20ms);
    }
};

class CompositedOverlay : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled())
            GTEST_SKIP() << "Xvfb is not installed";
        ASSERT_TRUE(testing_support::findExecutable("xcompmgr")) << "xcompmgr is not installed";
        if (!inChild())
            return;
        Desktop& d = desktop();
        compositor = std::make_unique<testing_support::Subprocess>(
            std::vector<std::string>{"xcompmgr"},
            testing_support::EnvironmentChanges{{"DISPLAY", d.server->displayName()}});
        // Until it has painted the screen once, the root shows black.
        ASSERT_TRUE(testing_support::waitUntil([] { return screenPixel(10, 10) == white; }, 10s));
        overlay = std::make_unique<AnnotationOverlay>();
    }

    void TearDown() override {
        if (!inChild())
            return;
        overlay.reset();
        runLoop(50ms, [] { return false; });
    }

    // Until the window shows the last change it was given.
    void settle() {
        ASSERT_TRUE(runLoop(10s, [&] { return !overlay->isDrawing(); }));
    }

    // Whether the screen shows `color` at (x, y) within `time`, the Qt loop running meanwhile.
    bool showsSoon(int x, int y, std::uint32_t color, std::chrono::milliseconds time = 1s) {
        return runLoop(time, [&] { return screenPixel(x, y) == color; });
    }

    const Rect screen{{0, 0}, {1920, 1080}};
    std::unique_ptr<testing_support::Subprocess> compositor;
    std::unique_ptr<AnnotationOverlay> overlay;
};

// Each round draws a line and, right after the window painted all it shows again (as a window does when
// it is first shown and its whole content is sent again), lengthens it: the manager takes in the longer
// shape while it paints the window's repaint. The new part shows on the screen, in every round.
TEST_F(CompositedOverlay, ALineThatGrowsRightAfterTheWindowPaintedShowsItsNewPart) {
    if (!inChild())
        return runInChild();
    AnnotationScene scene;
    int missed = 0;
    constexpr int rounds = 10;
    for (int round = 0; round < rounds; ++round) {
        const double y = 60 + 48 * round;
        scene.items.push_back(line(round, y, 100, 400));
        overlay->present(scene, screen);
        settle();
        if (!showsSoon(250, static_cast<int>(y), red))
            ++missed;
        QWidget* window = windowOf(overlay->windowID());
        ASSERT_TRUE(window);
        // Painted again and left alone a while: the manager has painted all of it and waits.
        window->repaint();
        runLoop(50ms, [] { return false; });
        scene.items.back() = line(round, y, 100, 1800);
        overlay->present(scene, screen);
        {
            // The manager answers the repaint only once the longer line is on the window, as a busy one
            // does: the server serves nobody but the application meanwhile.
            HeldCompositor held;
            window->repaint();
            held.letTheManagerTakeInTheRepaint();
            settle();
        }
        if (!showsSoon(1500, static_cast<int>(y), red))
            ++missed;
    }
    std::printf("%d of %d changes of the drawing did not show on the screen within a second\n", missed,
                2 * rounds);
    EXPECT_EQ(missed, 0);
}

// A drawing that ends is cut to nothing (its window is kept a while for the next drawing): the screen
// shows the application below again at once, not only when the window goes.
TEST_F(CompositedOverlay, ADrawingThatEndsLeavesTheScreenWhileItsWindowIsKept) {
    if (!inChild())
        return runInChild();
    int stayed = 0;
    constexpr int rounds = 5;
    for (int round = 0; round < rounds; ++round) {
        const int y = 100 + 150 * round;
        AnnotationScene scene;
        scene.items.push_back(line(1, y, 300, 1500));
        overlay->present(scene, screen);
        settle();
        ASSERT_TRUE(showsSoon(900, y, red, 10s)) << "round " << round;
        const unsigned long window = overlay->windowID();
        overlay->hide();
        // Gone from the screen, or else the window went with it (a drawing's window is kept a second).
        ASSERT_TRUE(runLoop(10s, [&] { return screenPixel(900, y) == white || !windowOf(window); }));
        if (!windowOf(window))
            ++stayed;
    }
    std::printf("%d of %d ended drawings stayed on the screen until their window went\n", stayed, rounds);
    EXPECT_EQ(stayed, 0);
}

// The picture's window likewise: a picture shown small and then, right after the window painted, large
// shows on the screen where the large one reaches beyond the small one, in every round.
TEST_F(CompositedOverlay, APictureShownLargerRightAfterItsWindowPaintedShowsWhole) {
    if (!inChild())
        return runInChild();
    PresentationImageOverlay pictures;
    auto bitmap = *platform::imaging::Bitmap::create(4, 2, platform::imaging::PixelFormat::bgra, 8);
    for (std::size_t i = 0; i < bitmap.bytes().size(); i += 4) {
        const std::uint8_t blue[] = {220, 40, 20, 255};
        std::copy(blue, blue + 4, bitmap.mutablePixels() + i);
    }
    const PresentationImages::PresentationImagePicture picture{bitmap, true};
    constexpr std::uint32_t blue = 0x1428dc;
    // Centred at (384, 324) a tenth of the display each way, and over most of the display.
    const PresentationImages::PresentationImageFrame small({4, 2}, {{{0.2f, 0.3f}, 0.1f, 0.1f}},
                                                           {1920, 1080});
    const PresentationImages::PresentationImageFrame large({4, 2}, {{{0.5f, 0.5f}, 0.9f, 0.9f}},
                                                           {1920, 1080});
    int missed = 0;
    constexpr int rounds = 10;
    for (int round = 0; round < rounds; ++round) {
        pictures.show(picture, small, screen);
        ASSERT_TRUE(showsSoon(384, 324, blue, 10s)) << "round " << round;
        QWidget* window = windowOf(pictures.windowID());
        ASSERT_TRUE(window);
        window->repaint();
        runLoop(50ms, [] { return false; });
        pictures.show(picture, large, screen);
        // The larger picture is scaled off the main thread meanwhile, and waits to be shown.
        std::this_thread::sleep_for(100ms);
        {
            HeldCompositor held;
            window->repaint();
            held.letTheManagerTakeInTheRepaint();
        }
        if (!showsSoon(1700, 700, blue))
            ++missed;
    }
    std::printf("%d of %d larger pictures did not show whole on the screen within a second\n", missed,
                rounds);
    EXPECT_EQ(missed, 0);
}

}  // namespace
}  // namespace OverlayWindows
