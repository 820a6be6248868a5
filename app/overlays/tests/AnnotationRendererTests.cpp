// The annotation renderer against what a hostile phone can send: marks far outside the display, many
// display-sized marks, a stroke past the model's point cap. What it keeps stays bounded by the display,
// and what it paints is what a renderer drawing everything afresh would paint.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cfloat>
#include <cmath>

#include "app/overlays/QtMessageLog.h"
#include "app/overlays/ScenePainting.h"
#include "platform/LogCapture.h"

namespace OverlayWindows {
namespace {

using Annotations::AnnotationModel;
using Annotations::AnnotationScene;
using TrackpadProtocol::Annotation;
using TrackpadProtocol::AnnotationTool;

constexpr int width = 400;
constexpr int height = 300;
constexpr std::size_t displayBytes = std::size_t{width} * height * 4;

// Shared with the window tests of this binary, which need widgets.
void application() {
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "renderer-tests";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(argc, argv);
}

// Paints frames until the renderer has nothing left to draw; the last frame.
QImage render(AnnotationRenderer& renderer, const AnnotationScene& scene) {
    QImage canvas(width, height, QImage::Format_ARGB32_Premultiplied);
    do {
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        renderer.paint(painter, scene, canvas.rect());
    } while (renderer.hasPendingWork());
    return canvas;
}

AnnotationScene sceneOf(const AnnotationModel& model, double now) {
    return model.scene({width, height}, now, Annotations::AnnotationStyle::standard);
}

// Pixels that differ by more than a rounding step. A stroke drawn a segment at a time antialiases the
// edge of each join twice, so a handful of edge pixels differ from one drawn whole; a mark missing or
// misplaced differs in thousands.
int differingPixels(const QImage& a, const QImage& b) {
    int count = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            int largest = std::max({std::abs(qRed(p) - qRed(q)), std::abs(qGreen(p) - qGreen(q)),
                                    std::abs(qBlue(p) - qBlue(q)), std::abs(qAlpha(p) - qAlpha(q))});
            count += largest > 2 ? 1 : 0;
        }
    }
    return count;
}

TEST(AnnotationRenderer, MarksFarOutsideTheDisplayCostNoMoreThanTheDisplay) {
    application();
    platform::LogCapture log;
    installQtMessageLog();  // so that a warning of Qt's painter would be caught here
    AnnotationModel model;
    model.apply({Annotation::Begin{1, AnnotationTool::pen, {0.5f, 0.5f}}}, 0);
    model.apply({Annotation::Update{1, 1, {20.0f, 20.0f}}}, 0);
    model.apply({Annotation::End{1, {20.0f, 20.0f}}}, 0);
    model.apply({Annotation::Begin{2, AnnotationTool::arrow, {0.1f, 0.9f}}}, 0);
    model.apply({Annotation::End{2, {-FLT_MAX, FLT_MAX}}}, 0);
    model.apply({Annotation::Begin{3, AnnotationTool::box, {0.25f, 0.25f}}}, 0);
    model.apply({Annotation::End{3, {FLT_MAX, -FLT_MAX}}}, 0);
    model.apply({Annotation::Begin{4, AnnotationTool::spotlight, {0.75f, 0.75f}}}, 0);
    model.apply({Annotation::End{4, {FLT_MAX, FLT_MAX}}}, 0);

    AnnotationRenderer renderer;
    QImage image = render(renderer, sceneOf(model, 0));
    EXPECT_LE(renderer.surfaceBytes(), 2 * displayBytes);
    // The part of each mark that lies on the display is drawn, as without the far end.
    EXPECT_EQ(image.pixelColor(300, 225), QColor(255, 59, 48)) << "the pen's diagonal";
    EXPECT_EQ(image.pixelColor(100, 50), QColor(255, 59, 48)) << "the box's left edge, x = 100";
    EXPECT_EQ(image.pixelColor(250, 75), QColor(255, 59, 48)) << "the box's top edge, y = 75";
    EXPECT_EQ(image.pixelColor(50, 50), QColor(0, 0, 0, 153)) << "dimmed outside the spotlight";
    EXPECT_EQ(image.pixelColor(350, 290).alpha(), 0) << "the spotlight's hole reaches past the display";
    qInstallMessageHandler(nullptr);
    EXPECT_EQ(log.entries().size(), 0u) << log.entries().front().message;
}

TEST(AnnotationRenderer, ManyDisplaySizedMarksShareTheDisplaysSurfacesAndPaintAsAFreshRenderer) {
    application();
    AnnotationModel model;
    AnnotationRenderer renderer;
    double now = 0;
    for (std::uint16_t m = 0; m < 100; ++m) {
        float offset = 0.002f * m;
        auto tool = m % 2 == 0 ? AnnotationTool::pen : AnnotationTool::box;
        model.apply({Annotation::Begin{m, tool, {offset, 0.0f}}}, now);
        render(renderer, sceneOf(model, now));
        model.apply({Annotation::Update{m, 1, {0.5f, 0.9f - offset}}}, now);
        render(renderer, sceneOf(model, now));
        model.apply({Annotation::End{m, {1.0f - offset, 1.0f}}}, now);
        render(renderer, sceneOf(model, now));
        ASSERT_LE(renderer.surfaceBytes(), 2 * displayBytes) << "after mark " << m;
        now += 0.01;
    }
    AnnotationRenderer fresh;
    EXPECT_LE(differingPixels(render(renderer, sceneOf(model, now)), render(fresh, sceneOf(model, now))), 50);

    // Halfway through the fade a new stroke begins: the fading marks and the new one, each at its opacity.
    now += 4.3;
    render(renderer, sceneOf(model, now));
    model.apply({Annotation::Begin{200, AnnotationTool::pen, {0.1f, 0.5f}}}, now);
    model.apply({Annotation::Update{200, 1, {0.9f, 0.5f}}}, now);
    QImage fading = render(renderer, sceneOf(model, now));
    EXPECT_LE(renderer.surfaceBytes(), 3 * displayBytes);
    EXPECT_LE(differingPixels(fading, render(fresh, sceneOf(model, now))), 50);

    // Undoing an older mark draws what lies below afresh, over as many frames as it takes, and never
    // keeps more than the display's surfaces meanwhile.
    model.apply({Annotation::Undo{50}}, now);
    {
        QImage first(width, height, QImage::Format_ARGB32_Premultiplied);
        first.fill(Qt::transparent);
        QPainter painter(&first);
        renderer.paint(painter, sceneOf(model, now), first.rect());
    }
    EXPECT_LE(renderer.surfaceBytes(), 4 * displayBytes);
    EXPECT_LE(differingPixels(render(renderer, sceneOf(model, now)), render(fresh, sceneOf(model, now))), 50);

    renderer.reset();
    EXPECT_EQ(renderer.surfaceBytes(), 0u);
}

// The newest mark keeps its surface while it changes, and the next mark takes it over: each time only
// what was drawn on it is cleared, so nothing of an earlier shape may stay, on screen or in the shape.
TEST(AnnotationRenderer, AMarkRedrawnOnItsSurfaceKeepsNothingOfItsEarlierShape) {
    application();
    AnnotationModel model;
    AnnotationRenderer renderer;
    renderer.setTracksCoverage(true);
    model.apply({Annotation::Begin{1, AnnotationTool::arrow, {0.0f, 0.0f}}}, 0);
    model.apply({Annotation::Update{1, 1, {1.0f, 1.0f}}}, 0);
    render(renderer, sceneOf(model, 0));
    // Dragged on past the display's edge: the surface stays display-sized, the shaft turns.
    model.apply({Annotation::Update{1, 2, {2.0f, 1.2f}}}, 0);
    QImage turned = render(renderer, sceneOf(model, 0));
    EXPECT_EQ(turned.pixelColor(200, 150).alpha(), 0) << "the shaft's earlier course";
    EXPECT_FALSE(renderer.coverage(sceneOf(model, 0)).contains(QPoint(200, 150)));
    AnnotationRenderer fresh;
    EXPECT_LE(differingPixels(turned, render(fresh, sceneOf(model, 0))), 20);

    model.apply({Annotation::End{1, {2.0f, 1.2f}}}, 0);
    model.apply({Annotation::Begin{2, AnnotationTool::pen, {1.0f, 0.0f}}}, 0);
    model.apply({Annotation::Update{2, 1, {0.0f, 1.0f}}}, 0);
    render(renderer, sceneOf(model, 0));
    model.apply({Annotation::Update{2, 2, {0.0f, 0.5f}}}, 0);
    QImage both = render(renderer, sceneOf(model, 0));
    EXPECT_LE(differingPixels(both, render(fresh, sceneOf(model, 0))), 20);
}

// Without a compositor the window is shaped to the marks; hundreds of display-sized marks are shaped in
// blocks rather than in a region of more rectangles than the X server should get at every change.
TEST(AnnotationRenderer, TheCoverageOfManyMarksStaysASmallRegion) {
    application();
    AnnotationModel model;
    AnnotationRenderer renderer;
    renderer.setTracksCoverage(true);
    for (std::uint16_t m = 0; m < 100; ++m) {
        float offset = 0.002f * m;
        auto tool = m % 2 == 0 ? AnnotationTool::pen : AnnotationTool::box;
        model.apply({Annotation::Begin{m, tool, {offset, 0.0f}}}, 0);
        model.apply({Annotation::Update{m, 1, {0.5f, 0.9f - offset}}}, 0);
        model.apply({Annotation::End{m, {1.0f - offset, 1.0f}}}, 0);
    }
    const auto scene = model.scene({1920, 1080}, 0, Annotations::AnnotationStyle::standard);
    QImage canvas(1920, 1080, QImage::Format_ARGB32_Premultiplied);
    do {
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        renderer.paint(painter, scene, canvas.rect());
    } while (renderer.hasPendingWork());
    const QRegion covered = renderer.coverage(scene);
    EXPECT_LE(covered.rectCount(), AnnotationRenderer::maxShapeRects);
    EXPECT_TRUE(covered.contains(QPoint(960, 1))) << "the boxes' top edge";
    EXPECT_FALSE(covered.contains(QPoint(1440, 150))) << "far from every mark";
}

TEST(AnnotationRenderer, AStrokePastThePointCapGrowsWithoutLosingItsBeginning) {
    application();
    AnnotationModel model;
    AnnotationRenderer renderer;
    model.apply({Annotation::Begin{1, AnnotationTool::pen, {0.05f, 0.1f}}}, 0);
    model.apply({Annotation::Update{1, 1, {0.2f, 0.1f}}}, 0);
    // Then back and forth across the lower half until well past the cap.
    const int updates = static_cast<int>(AnnotationModel::maxPointsPerMark) + 500;
    for (int i = 2; i <= updates; ++i) {
        float x = 0.1f + 0.8f * static_cast<float>(i % 400) / 400.0f;
        float y = 0.5f + 0.4f * static_cast<float>((i / 400) % 2);
        model.apply({Annotation::Update{1, static_cast<std::uint16_t>(i), {x, y + 0.0001f * (i % 7)}}}, 0);
        if (i % 25 == 0)
            render(renderer, sceneOf(model, 0));
    }
    ASSERT_EQ(model.marks().front().points.size(), AnnotationModel::maxPointsPerMark);
    QImage image = render(renderer, sceneOf(model, 0));
    EXPECT_EQ(image.pixelColor(50, 30), QColor(255, 59, 48)) << "the first segment stays drawn";
    EXPECT_EQ(image.pixelColor(200, 150 + 60 + 1).alpha(), 255) << "and the latest ones are drawn";
    EXPECT_LE(renderer.surfaceBytes(), 2 * displayBytes);
}

TEST(QtMessageLog, AFloodOfQtWarningsIsLoggedWithinItsBudget) {
    platform::LogCapture log;
    installQtMessageLog();
    for (int i = 0; i < 1000; ++i)
        qWarning("QImage: out of memory, returning null image");
    qInstallMessageHandler(nullptr);
    std::size_t lines = 0;
    for (const auto& entry : log.entries())
        lines += entry.category == "qt" ? 1 : 0;
    EXPECT_EQ(lines, static_cast<std::size_t>(qtMessageBurst));
    EXPECT_TRUE(log.contains("QImage: out of memory"));
}

}  // namespace
}  // namespace OverlayWindows
