#include <gtest/gtest.h>

#include <cmath>

#include "overlays/annotations/AnnotationModel.h"
#include "overlays/annotations/AnnotationScene.h"

namespace Annotations {
namespace {

using Tool = AnnotationTool;

Annotation begin(std::uint16_t stroke, Tool tool, float x, float y) {
    return {Annotation::Begin{stroke, tool, {x, y}}};
}
Annotation update(std::uint16_t stroke, std::uint16_t sequence, float x, float y) {
    return {Annotation::Update{stroke, sequence, {x, y}}};
}
Annotation end(std::uint16_t stroke, float x, float y) {
    return {Annotation::End{stroke, {x, y}}};
}
Annotation undo(std::uint16_t stroke) {
    return {Annotation::Undo{stroke}};
}

TEST(AnnotationModel, UpdatesAreOrderedBySerialNumberAndRepeatsAddNothing) {
    AnnotationModel model;
    EXPECT_TRUE(model.apply(begin(1, Tool::pen, 0.1f, 0.1f), 0));
    EXPECT_FALSE(model.apply(update(1, 0, 0.2f, 0.2f), 0));  // not newer than the begin
    EXPECT_TRUE(model.apply(update(1, 1, 0.2f, 0.2f), 0));
    EXPECT_TRUE(model.apply(update(1, 3, 0.3f, 0.3f), 0));
    EXPECT_FALSE(model.apply(update(1, 2, 0.25f, 0.25f), 0));  // older than 3
    EXPECT_FALSE(model.apply(update(1, 4, 0.3f, 0.3f), 0));    // same point again
    EXPECT_FALSE(model.apply(update(2, 5, 0.5f, 0.5f), 0));    // another stroke
    EXPECT_TRUE(model.apply(end(1, 0.4f, 0.4f), 0));
    std::deque<AnnotationPoint> expected{{0.1f, 0.1f}, {0.2f, 0.2f}, {0.3f, 0.3f}, {0.4f, 0.4f}};
    EXPECT_EQ(model.marks().at(0).points, expected);

    AnnotationModel wrap;
    wrap.apply(begin(1, Tool::pen, 0, 0), 0);
    EXPECT_FALSE(wrap.apply(update(1, 32768, 0.1f, 0), 0));
    EXPECT_TRUE(wrap.apply(update(1, 32767, 0.1f, 0), 0));
    EXPECT_FALSE(wrap.apply(update(1, 65535, 0.2f, 0), 0));  // 32768 ahead reads as behind
    EXPECT_TRUE(wrap.apply(update(1, 65000, 0.2f, 0), 0));
    EXPECT_TRUE(wrap.apply(update(1, 2, 0.3f, 0), 0));  // across the wrap
}

TEST(AnnotationModel, ShapesOtherThanPenKeepFirstAndLatestPoint) {
    AnnotationModel model;
    model.apply(begin(1, Tool::arrow, 0.1f, 0.1f), 0);
    for (std::uint16_t i = 1; i <= 10; ++i)
        model.apply(update(1, i, 0.1f + i * 0.01f, 0.5f), 0);
    ASSERT_EQ(model.marks()[0].points.size(), 2u);
    EXPECT_EQ(model.marks()[0].startPoint(), (AnnotationPoint{0.1f, 0.1f}));
    EXPECT_EQ(model.marks()[0].endPoint(), (AnnotationPoint{0.1f + 10 * 0.01f, 0.5f}));
}

TEST(AnnotationModel, SpotlightNeedsMinimumExtentAndNeverFades) {
    AnnotationModel model;
    model.apply(begin(1, Tool::spotlight, 0.1f, 0.1f), 0);
    model.apply(end(1, 0.5f, 0.11f), 0);
    EXPECT_FALSE(model.spotlight());
    EXPECT_TRUE(model.isEmpty());

    model.apply(begin(2, Tool::spotlight, 0.1f, 0.1f), 0);
    model.apply(end(2, 0.5f, 0.5f), 0);
    ASSERT_TRUE(model.spotlight());
    EXPECT_FALSE(model.hasScheduledFades());
    model.prune(1000);
    EXPECT_TRUE(model.spotlight());

    // A second spotlight replaces the first at once, before it has a size.
    model.apply(begin(3, Tool::spotlight, 0.7f, 0.7f), 0);
    EXPECT_EQ(model.spotlight()->stroke, 3);
    EXPECT_FALSE(model.scene({100, 100}, 0, AnnotationStyle::standard).spotlight);
}

TEST(AnnotationModel, MarksDrawnInSuccessionFadeTogetherAndFadingMarksKeepFading) {
    AnnotationModel model;
    double t = 10;
    model.apply(begin(1, Tool::pen, 0.1f, 0.1f), t);
    model.apply(end(1, 0.2f, 0.2f), t);
    model.apply(begin(2, Tool::pen, 0.3f, 0.3f), t + 2);
    EXPECT_FALSE(model.marks()[0].fadeStart);  // held back while the next stroke is drawn
    model.apply(end(2, 0.4f, 0.4f), t + 3);
    EXPECT_EQ(model.marks()[0].fadeStart, t + 7);
    EXPECT_EQ(model.marks()[1].fadeStart, t + 7);
    EXPECT_NEAR(model.opacity(model.marks()[0], t + 7.3), 0.5, 1e-9);
    EXPECT_FALSE(model.prune(t + 7.59));
    EXPECT_TRUE(model.prune(t + 7.6));
    EXPECT_TRUE(model.isEmpty());

    // A stroke that begins while an older mark already fades does not stop that fade.
    model.apply(begin(3, Tool::pen, 0.1f, 0.1f), 0);
    model.apply(end(3, 0.2f, 0.2f), 0);
    model.apply(begin(4, Tool::pen, 0.1f, 0.1f), 4.2);
    EXPECT_EQ(model.marks()[0].fadeStart, 4.0);
}

TEST(AnnotationModel, ZeroFadeVanishesAtTheEndOfTheHold) {
    AnnotationModel model({4.0, 0.0});
    model.apply(begin(1, Tool::pen, 0.1f, 0.1f), 0);
    model.apply(end(1, 0.2f, 0.2f), 0);
    EXPECT_EQ(model.scene({10, 10}, 4.0, AnnotationStyle::standard).items.size(), 1u);
    EXPECT_TRUE(model.scene({10, 10}, 4.0001, AnnotationStyle::standard).items.empty());
    EXPECT_TRUE(model.prune(4.0));
}

TEST(AnnotationModel, UndoRemovesOnlyTheNewerOfTwoAndFinishesAnOpenStroke) {
    AnnotationModel model;
    model.apply(begin(7, Tool::pen, 0.1f, 0.1f), 0);
    model.apply(end(7, 0.2f, 0.2f), 0);
    model.apply(begin(7, Tool::box, 0.3f, 0.3f), 0);
    model.apply(end(7, 0.4f, 0.4f), 0);
    EXPECT_TRUE(model.apply(undo(7), 1));
    ASSERT_EQ(model.marks().size(), 1u);
    EXPECT_EQ(model.marks()[0].tool, Tool::pen);

    // Mark and spotlight with one stroke number: the larger id goes.
    AnnotationModel both;
    both.apply(begin(1, Tool::pen, 0.1f, 0.1f), 0);
    both.apply(end(1, 0.2f, 0.2f), 0);
    both.apply(begin(1, Tool::spotlight, 0.1f, 0.1f), 0);
    both.apply(end(1, 0.5f, 0.5f), 0);
    EXPECT_TRUE(both.apply(undo(1), 0));
    EXPECT_FALSE(both.spotlight());
    EXPECT_EQ(both.marks().size(), 1u);

    // Undo of the stroke being drawn finishes it, giving held marks their fade start, then removes it.
    AnnotationModel drawing;
    drawing.apply(begin(1, Tool::pen, 0.1f, 0.1f), 0);
    drawing.apply(end(1, 0.2f, 0.2f), 0);
    drawing.apply(begin(2, Tool::pen, 0.3f, 0.3f), 1);
    EXPECT_TRUE(drawing.apply(undo(2), 2));
    ASSERT_EQ(drawing.marks().size(), 1u);
    EXPECT_EQ(drawing.marks()[0].fadeStart, 6.0);
    EXPECT_FALSE(drawing.isDrawing());
    EXPECT_FALSE(drawing.apply(undo(9), 2));
}

TEST(AnnotationModel, ClearAndColour) {
    AnnotationModel model;
    EXPECT_FALSE(model.apply({Annotation::Clear{}}, 0));
    EXPECT_FALSE(model.apply({Annotation::Color{{1, 2, 3}}}, 0));
    model.apply(begin(1, Tool::pen, 0.1f, 0.1f), 0);
    EXPECT_EQ(model.marks()[0].color, (AnnotationColor{1, 2, 3}));
    model.apply({Annotation::Color{{4, 5, 6}}}, 0);
    EXPECT_EQ(model.marks()[0].color, (AnnotationColor{1, 2, 3}));
    EXPECT_TRUE(model.apply({Annotation::Clear{}}, 0));
    EXPECT_TRUE(model.isEmpty());
    EXPECT_FALSE(model.isDrawing());
    EXPECT_EQ(model.color(), (AnnotationColor{4, 5, 6}));
    EXPECT_EQ(model.nextID(), 1);
}

TEST(AnnotationModel, NonFinitePointsAreDroppedAndGrowthIsCapped) {
    AnnotationModel model;
    float nan = std::nanf("");
    EXPECT_FALSE(model.apply(begin(1, Tool::pen, nan, 0.1f), 0));
    EXPECT_TRUE(model.isEmpty());
    model.apply(begin(1, Tool::pen, 0, 0), 0);
    EXPECT_FALSE(model.apply(update(1, 1, INFINITY, 0), 0));
    EXPECT_TRUE(model.apply(end(1, nan, nan), 0));  // the stroke still ends
    EXPECT_EQ(model.marks()[0].points.size(), 1u);
    EXPECT_TRUE(model.marks()[0].isFinished);

    AnnotationModel pen;
    pen.apply(begin(1, Tool::pen, 0, 0), 0);
    for (std::size_t i = 1; i <= AnnotationModel::maxPointsPerMark + 5; ++i) {
        pen.apply(update(1, static_cast<std::uint16_t>(i), static_cast<float>(i) * 1e-5f, 0), 0);
    }
    EXPECT_EQ(pen.marks()[0].points.size(), AnnotationModel::maxPointsPerMark);
    EXPECT_EQ(pen.marks()[0].endPoint().x, static_cast<float>(AnnotationModel::maxPointsPerMark + 5) * 1e-5f);

    AnnotationModel many;
    for (std::size_t i = 0; i < AnnotationModel::maxMarks + 3; ++i) {
        many.apply(begin(static_cast<std::uint16_t>(i), Tool::pen, 0.5f, 0.5f), static_cast<double>(i));
    }
    EXPECT_EQ(many.marks().size(), AnnotationModel::maxMarks);
    EXPECT_EQ(many.marks().front().id, 3);
    EXPECT_TRUE(many.isDrawing());
}

TEST(AnnotationScene, ShapesAndOpacity) {
    AnnotationModel model;
    Size size{200, 100};
    model.apply(begin(1, Tool::pen, 0.5f, 0.5f), 0);
    auto scene = model.scene(size, 0, AnnotationStyle::standard);
    ASSERT_EQ(scene.items.size(), 1u);
    EXPECT_EQ(scene.items[0].shape.kind, (AnnotationShape{AnnotationShape::Dot{{100, 50}}}.kind));
    model.apply(update(1, 1, 0.25f, 0.5f), 0);
    auto lineScene = model.scene(size, 0, AnnotationStyle::standard);
    auto* line = std::get_if<AnnotationShape::Line>(&lineScene.items[0].shape.kind);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->points, (std::vector<Point>{{100, 50}, {50, 50}}));

    model.apply(end(1, 0.25f, 0.5f), 0);
    EXPECT_NEAR(model.scene(size, 4.3, AnnotationStyle::standard).items[0].opacity, 0.5, 1e-9);
    EXPECT_TRUE(model.scene(size, 4.61, AnnotationStyle::standard).isEmpty());  // faded, not yet pruned

    // Boxes are the same whichever corner they start from; a zero-length arrow is a dot.
    AnnotationModel boxes;
    boxes.apply(begin(1, Tool::box, 0.9f, 0.8f), 0);
    boxes.apply(end(1, 0.1f, 0.2f), 0);
    boxes.apply(begin(2, Tool::box, 0.1f, 0.2f), 0);
    boxes.apply(end(2, 0.9f, 0.8f), 0);
    boxes.apply(begin(3, Tool::arrow, 0.3f, 0.3f), 0);
    auto items = boxes.scene(size, 0, AnnotationStyle::standard).items;
    EXPECT_EQ(items[0].shape, items[1].shape);
    EXPECT_TRUE(std::holds_alternative<AnnotationShape::Dot>(items[2].shape.kind));

    AnnotationModel spot;
    spot.apply(begin(1, Tool::spotlight, 0.1f, 0.1f), 0);
    spot.apply(update(1, 1, 0.5f, 0.1f + 0.019f), 0);
    EXPECT_TRUE(spot.scene(size, 0, AnnotationStyle::standard).isEmpty());
}

TEST(AnnotationScene, ArrowHeadKeepsProportionsAndSides) {
    auto style = AnnotationStyle::standard;
    auto right = *AnnotationShape::Arrow::make({0, 0}, {100, 0}, style);
    EXPECT_EQ(right.base, (Point{72, 0}));
    EXPECT_EQ(right.leftBarb, (Point{72, -14}));  // above the shaft
    EXPECT_EQ(right.rightBarb, (Point{72, 14}));
    auto left = *AnnotationShape::Arrow::make({100, 0}, {0, 0}, style);
    EXPECT_GT(left.leftBarb.y, 0);
    auto shortArrow = *AnnotationShape::Arrow::make({0, 0}, {20, 0}, style);
    EXPECT_EQ(shortArrow.base, (Point{10, 0}));
    EXPECT_EQ(shortArrow.leftBarb, (Point{10, -5}));
    EXPECT_FALSE(AnnotationShape::Arrow::make({3, 3}, {3, 3}, style));
}

}  // namespace
}  // namespace Annotations
