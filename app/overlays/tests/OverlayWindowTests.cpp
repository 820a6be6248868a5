// The overlay windows under Qt's offscreen platform: what they paint, and that the services drive them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QWidget>
#include <chrono>
#include <functional>
#include <set>
#include <thread>

#include "app/overlays/OverlayPanels.h"
#include "app/overlays/OverlayServices.h"
#include "platform/ManualExecutor.h"

namespace OverlayWindows {
namespace {

using Annotations::Rect;
using TrackpadProtocol::Annotation;
using TrackpadProtocol::UUID;

// One application for the whole binary (the renderer's tests share it), never destroyed: Qt's objects
// must not outlive it at exit.
void application() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "overlay-tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);
}

QWidget* windowOf(unsigned long id) {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->winId() == id)
            return widget;
    }
    return nullptr;
}

// Runs the Qt loop for `time`, or until `done`.
bool runLoop(
    std::chrono::milliseconds time, const std::function<bool()>& done = [] { return false; }) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

// What the window shows once its last changes are drawn (those of a burst wait for the end of a frame).
QImage grab(unsigned long id) {
    runLoop(AnnotationOverlay::frameInterval * 3);
    QWidget* widget = windowOf(id);
    EXPECT_TRUE(widget);
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    // A shaped window is rendered from the corner of its shape on.
    const QPoint shapeCorner = widget->mask().isEmpty()
                                   ? QPoint()
                                   : widget->mask().intersected(widget->rect()).boundingRect().topLeft();
    widget->render(&image, shapeCorner, QRegion(), QWidget::DrawChildren);
    return image;
}

// Until the drawing queue has drawn the annotation window's last change and the window shows it.
void settle(const AnnotationOverlay& overlay) {
    runLoop(std::chrono::seconds(10), [&] { return !overlay.isDrawing(); });
}

// What the annotation window shows once its last change is drawn.
QImage grab(const AnnotationOverlay& overlay) {
    settle(overlay);
    return grab(overlay.windowID());
}

TEST(OverlayWindows, AnnotationDrawsTheStrokeOnTransparencyAndTheSpotlightDims) {
    application();
    platform::ManualExecutor main;
    auto overlay = std::make_shared<AnnotationOverlay>();
    AnnotationOverlayService service(
        overlay, [](std::uint32_t) { return std::optional<Rect>(); }, main);
    service.setPointerScreen([] { return Shell::ScreenFrame{0, 0, 400, 300}; });
    UUID phone;
    service.handle({Annotation::Begin{1, TrackpadProtocol::AnnotationTool::pen, {0.25f, 0.5f}}}, phone);
    service.handle({Annotation::Update{1, 1, {0.75f, 0.5f}}}, phone);
    service.handle({Annotation::End{1, {0.75f, 0.5f}}}, phone);
    ASSERT_NE(overlay->windowID(), 0u);
    QImage image = grab(*overlay);
    EXPECT_EQ(windowOf(overlay->windowID())->geometry(), QRect(0, 0, 400, 300));
    EXPECT_EQ(image.pixelColor(200, 150), QColor(255, 59, 48));
    EXPECT_EQ(image.pixelColor(200, 50).alpha(), 0);

    EXPECT_GT(overlay->surfaceBytes(), 0u);

    // The marks fade on the main executor's ticks; the window goes when they are gone, and so do the
    // drawing's surfaces and the window's own.
    const unsigned long drawn = overlay->windowID();
    main.advance(std::chrono::milliseconds(4700));
    EXPECT_TRUE(runLoop(AnnotationOverlay::releaseDelay * 3, [&] { return windowOf(drawn) == nullptr; }));
    EXPECT_EQ(overlay->windowID(), 0u);
    EXPECT_EQ(overlay->surfaceBytes(), 0u);

    service.handle({Annotation::Begin{2, TrackpadProtocol::AnnotationTool::spotlight, {0.25f, 0.25f}}},
                   phone);
    service.handle({Annotation::End{2, {0.75f, 0.75f}}}, phone);
    image = grab(*overlay);
    EXPECT_EQ(image.pixelColor(10, 10), QColor(0, 0, 0, 153));
    EXPECT_EQ(image.pixelColor(200, 150).alpha(), 0);
}

// Marks drawn, undone and cleared by the hundred are drawn once per frame: the window stays, and shows
// what the burst left.
TEST(OverlayWindows, ABurstOfMarksAndClearsKeepsTheWindowAndShowsWhereItEnded) {
    application();
    platform::ManualExecutor main;
    auto overlay = std::make_shared<AnnotationOverlay>();
    AnnotationOverlayService service(
        overlay, [](std::uint32_t) { return std::optional<Rect>(); }, main);
    service.setPointerScreen([] { return Shell::ScreenFrame{0, 0, 400, 300}; });
    UUID phone;
    std::set<unsigned long> windows;
    for (std::uint16_t stroke = 1; stroke <= 300; ++stroke) {
        const float y = stroke % 2 ? 0.25f : 0.75f;
        service.handle({Annotation::Begin{stroke, TrackpadProtocol::AnnotationTool::box, {0.1f, y}}}, phone);
        service.handle({Annotation::End{stroke, {0.9f, y + 0.1f}}}, phone);
        windows.insert(overlay->windowID());
        if (stroke < 300)
            service.handle(
                {stroke % 3 ? Annotation{Annotation::Clear{}} : Annotation{Annotation::Undo{stroke}}}, phone);
        windows.insert(overlay->windowID());
    }
    EXPECT_EQ(windows.size(), 1u) << "one window throughout";
    const QImage image = grab(*overlay);
    EXPECT_EQ(image.pixelColor(40, 232), QColor(255, 59, 48)) << "the last box";
    EXPECT_EQ(image.pixelColor(40, 82).alpha(), 0) << "the box before it, cleared";
}

// A window cut to nothing (a widget without a mask shows all of itself).
bool showsNothing(const QWidget* widget) {
    return !widget->mask().isEmpty() && !widget->mask().intersects(widget->rect());
}

// A view that goes back and forth between two displays finds each display's window where it left it: no
// window is moved or resized at a switch, the drawing shows over the display the view is on, the window of
// the display it left shows nothing, and that window goes once the view stayed away for a while.
TEST(OverlayWindows, EachDisplayKeepsItsWindowAndTheOneTheViewLeftShowsNothing) {
    application();
    auto overlay = std::make_shared<AnnotationOverlay>();
    Annotations::AnnotationScene scene;
    scene.items.push_back({1, {Annotations::AnnotationShape::Box{{{50, 50}, {100, 100}}}}, 1, {255, 59, 48}});
    const Rect left{{0, 0}, {400, 300}};
    const Rect right{{400, 0}, {640, 480}};

    overlay->present(scene, left);
    const QImage onLeft = grab(*overlay);
    const unsigned long leftWindow = overlay->windowID();
    EXPECT_EQ(onLeft.pixelColor(50, 100), QColor(255, 59, 48));

    // The checks between the switches are of the windows' state, not their pixels, so that the view
    // comes back well within the time a window is kept for it.
    overlay->present(scene, right);
    settle(*overlay);
    const unsigned long rightWindow = overlay->windowID();
    ASSERT_NE(rightWindow, leftWindow);
    EXPECT_EQ(windowOf(rightWindow)->geometry(), QRect(400, 0, 640, 480));
    EXPECT_TRUE(windowOf(rightWindow)->mask().contains(QPoint(50, 100))) << "the box shows on the right";
    ASSERT_TRUE(windowOf(leftWindow)) << "kept for the view's return";
    EXPECT_EQ(windowOf(leftWindow)->geometry(), QRect(0, 0, 400, 300)) << "not moved";
    EXPECT_TRUE(showsNothing(windowOf(leftWindow)));

    overlay->present(scene, left);
    settle(*overlay);
    EXPECT_EQ(overlay->windowID(), leftWindow) << "the view came back to the window it left";
    EXPECT_EQ(windowOf(leftWindow)->geometry(), QRect(0, 0, 400, 300));
    EXPECT_TRUE(showsNothing(windowOf(rightWindow)));
    EXPECT_EQ(grab(*overlay).pixelColor(50, 100), QColor(255, 59, 48));

    // The view stays: the other display's window goes.
    EXPECT_TRUE(
        runLoop(AnnotationOverlay::otherDisplayDelay * 2, [&] { return windowOf(rightWindow) == nullptr; }));
    EXPECT_EQ(overlay->windowID(), leftWindow);

    // A drawing that ends before it was ever shown takes its window along all the same.
    overlay->hide();
    EXPECT_TRUE(
        runLoop(AnnotationOverlay::releaseDelay * 3, [&] { return windowOf(leftWindow) == nullptr; }));
    overlay->present(scene, right);
    const unsigned long unseen = overlay->windowID();
    overlay->hide();
    EXPECT_TRUE(runLoop(AnnotationOverlay::releaseDelay * 3, [&] { return windowOf(unseen) == nullptr; }));
    EXPECT_EQ(overlay->surfaceBytes(), 0u);
}

// Counts the paintings of the widgets it watches.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

// With a compositing manager a change of the drawing's shape is painted once more a frame after it (which
// makes the manager show a part it took in late); without one no painting is added.
TEST(OverlayWindows, AChangeOfTheDrawingsShapeIsPaintedOnceMoreOnlyWithACompositor) {
    application();
    for (const bool composited : {true, false}) {
        auto overlay = std::make_shared<AnnotationOverlay>();
        overlay->setComposited(composited);
        const Rect frame{{0, 0}, {400, 300}};
        Annotations::AnnotationScene scene;
        scene.items.push_back(
            {1, {Annotations::AnnotationShape::Line{{{50, 100}, {150, 100}}}}, 1, {255, 59, 48}});
        overlay->present(scene, frame);
        settle(*overlay);
        runLoop(AnnotationOverlay::frameInterval * 6);
        QWidget* window = windowOf(overlay->windowID());
        ASSERT_TRUE(window);
        PaintCounter counter;
        window->installEventFilter(&counter);
        scene.items[0].shape = {Annotations::AnnotationShape::Line{{{50, 100}, {350, 100}}}};
        overlay->present(scene, frame);
        settle(*overlay);
        runLoop(AnnotationOverlay::frameInterval * 6);
        EXPECT_EQ(counter.paints, composited ? 2 : 1) << (composited ? "with" : "without") << " a compositor";
        window->removeEventFilter(&counter);
    }
}

bool shownSoon(unsigned long id) {
    for (int i = 0; i < 500; ++i) {
        QCoreApplication::processEvents();
        if (windowOf(id) && windowOf(id)->isVisible())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A large picture is kept at the size it is shown at, and only the part of it on the display.
TEST(OverlayWindows, ALargePictureIsKeptScaledToItsVisiblePart) {
    application();
    auto overlay = std::make_shared<PresentationImageOverlay>();
    auto bitmap =
        *platform::imaging::Bitmap::create(4096, 4096, platform::imaging::PixelFormat::bgra, 1 << 25);
    std::fill(bitmap.mutablePixels(), bitmap.mutablePixels() + bitmap.bytes().size(), 0xff);
    PresentationImages::PresentationImagePicture picture{bitmap, true};
    // Twice the display's width and height, centred on its bottom-right corner: a quarter shows.
    TrackpadProtocol::PresentationImagePlacement placement{{1.0f, 1.0f}, 2.0f, 2.0f};
    PresentationImages::PresentationImageFrame frame({4096, 4096}, placement, {400, 300});
    overlay->show(picture, frame, {{0, 0}, {400, 300}});
    ASSERT_TRUE(shownSoon(overlay->windowID()));
    EXPECT_EQ(overlay->preparedSize(), QSize(300, 300));
    EXPECT_EQ(grab(overlay->windowID()).pixelColor(399, 299), QColor(255, 255, 255));
    overlay->hide();
    EXPECT_TRUE(overlay->preparedSize().isEmpty());
}

// Without a compositor the window is the picture's visible frame, and a picture's transparent parts are
// cut out of it rather than shown black.
TEST(OverlayWindows, WithoutACompositorThePictureWindowIsThePictureWithoutItsTransparentParts) {
    application();
    auto overlay = std::make_shared<PresentationImageOverlay>();
    overlay->setComposited(false);
    auto bitmap = *platform::imaging::Bitmap::create(4, 2, platform::imaging::PixelFormat::bgra, 8);
    for (int i = 0; i < 8; ++i) {
        const bool right = i % 4 >= 2;
        std::uint8_t pixel[] = {255, 0, 0, static_cast<std::uint8_t>(right ? 255 : 0)};
        std::copy(pixel, pixel + 4, bitmap.mutablePixels() + 4 * i);
    }
    PresentationImages::PresentationImagePicture picture{bitmap, false};
    PresentationImages::PresentationImageFrame frame({4, 2}, std::nullopt, {400, 300});
    overlay->show(picture, frame, {{100, 50}, {400, 300}});
    ASSERT_TRUE(shownSoon(overlay->windowID()));
    QWidget* window = windowOf(overlay->windowID());
    EXPECT_EQ(window->geometry(), QRect(100, 100, 400, 200));
    EXPECT_FALSE(window->mask().contains(QPoint(50, 100))) << "the transparent left half";
    EXPECT_TRUE(window->mask().contains(QPoint(350, 100))) << "the opaque right half";
    overlay->hide();
}

TEST(OverlayWindows, PictureIsDrawnIntoItsFrame) {
    application();
    auto overlay = std::make_shared<PresentationImageOverlay>();
    auto bitmap = *platform::imaging::Bitmap::create(4, 2, platform::imaging::PixelFormat::bgra, 8);
    for (std::size_t i = 0; i < 32; i += 4) {
        std::uint8_t blue[] = {255, 0, 0, 255};
        std::copy(blue, blue + 4, bitmap.mutablePixels() + i);
    }
    PresentationImages::PresentationImagePicture picture{bitmap, true};
    PresentationImages::PresentationImageFrame frame({4, 2}, std::nullopt, {400, 300});
    overlay->show(picture, frame, {{100, 50}, {400, 300}});
    // Scaled on the overlay's own queue; the window shows once the result is back.
    ASSERT_TRUE(shownSoon(overlay->windowID()));
    EXPECT_EQ(windowOf(overlay->windowID())->geometry(), QRect(100, 50, 400, 300));
    EXPECT_EQ(overlay->preparedSize(), QSize(400, 200)) << "the picture as large as it is shown";
    QImage image = grab(overlay->windowID());
    EXPECT_EQ(image.pixelColor(200, 150), QColor(0, 0, 255));
    EXPECT_EQ(image.pixelColor(200, 20).alpha(), 0);  // above the picture's 400x200 frame
    // The window goes with the picture, and its backing store with it; the next picture makes a new one.
    const unsigned long shown = overlay->windowID();
    overlay->hide();
    EXPECT_EQ(windowOf(shown), nullptr);
    EXPECT_EQ(overlay->windowID(), 0u);
    overlay->show(picture, frame, {{100, 50}, {400, 300}});
    ASSERT_TRUE(shownSoon(overlay->windowID()));
    EXPECT_EQ(grab(overlay->windowID()).pixelColor(200, 150), QColor(0, 0, 255));
    overlay->hide();
}

// Pictures shown faster than they scale: the newest waits, those it replaced are never scaled, and the
// window ends up with the newest.
TEST(OverlayWindows, PicturesShownFasterThanTheyScaleLeaveOnlyTheNewestWaiting) {
    application();
    auto overlay = std::make_shared<PresentationImageOverlay>();
    PresentationImages::PresentationImageFrame frame({2000, 2000}, std::nullopt, {400, 300});
    std::vector<PresentationImages::PresentationImagePicture> pictures;
    for (std::uint8_t n = 0; n < 40; ++n) {
        auto bitmap =
            *platform::imaging::Bitmap::create(2000, 2000, platform::imaging::PixelFormat::bgra, 1 << 22);
        for (std::size_t i = 0; i < bitmap.bytes().size(); i += 4) {
            const std::uint8_t pixel[] = {n, n, n, 255};
            std::copy(pixel, pixel + 4, bitmap.mutablePixels() + i);
        }
        pictures.push_back({bitmap, true});
    }
    for (const auto& picture : pictures)
        overlay->show(picture, frame, {{0, 0}, {400, 300}});
    ASSERT_TRUE(shownSoon(overlay->windowID()));
    for (int i = 0; i < 500 && grab(overlay->windowID()).pixelColor(200, 150).blue() != 39; ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(grab(overlay->windowID()).pixelColor(200, 150).blue(), 39) << "the newest picture";
    EXPECT_LE(overlay->scalingCount(), 3u) << "the first one, perhaps one in between, and the newest";
    overlay->hide();
}

TEST(OverlayWindows, GlowFollowsThePointer) {
    application();
    platform::ManualExecutor main;
    auto glow = std::make_shared<PointerHighlightOverlay>();
    Annotations::Point mouse{100.5, 200.5};
    PointerHighlightOverlayService service([] { return true; }, glow, [&] { return mouse; }, main);
    service.pointerDidShake();
    QWidget* window = windowOf(glow->windowID());
    ASSERT_TRUE(window);
    EXPECT_EQ(window->geometry(), QRect(69, 169, 64, 64));
    mouse = {300, 300};
    main.advance(std::chrono::milliseconds(10));
    EXPECT_EQ(window->pos(), QPoint(268, 268));
    main.advance(std::chrono::milliseconds(3100));
    EXPECT_FALSE(service.controller().isVisible());
}

}  // namespace
}  // namespace OverlayWindows
