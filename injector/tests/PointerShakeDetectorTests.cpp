#include <gtest/gtest.h>

#include <cmath>

#include "injector/PointerShakeDetector.h"

namespace Injector {
namespace {

// Feeds samples of `step` points every 10 ms; returns how many of them reported a shake.
struct Feeder {
    PointerShakeDetector detector;
    double now = 0;
    int shakes = 0;

    bool sample(double dx, double dy = 0, double gap = 0.01) {
        now += gap;
        const bool shake = detector.observe(dx, dy, now);
        shakes += shake ? 1 : 0;
        return shake;
    }
    void stroke(double dx, int samples) {
        for (int i = 0; i < samples; ++i) {
            sample(dx);
        }
    }
};

TEST(PointerShakeDetector, BackwardTravelConfirmsAReversalOnlyPastTheTolerance) {
    Feeder f;
    f.stroke(30, 3);
    ASSERT_TRUE(f.detector.stroke().has_value());
    EXPECT_EQ(f.detector.stroke()->horizontal, 90);
    EXPECT_FALSE(f.sample(-10));
    EXPECT_EQ(f.detector.stroke()->direction, 1);
    EXPECT_EQ(f.detector.stroke()->horizontal, 90);
    EXPECT_EQ(f.detector.opposite().horizontal, 10);
    EXPECT_FALSE(f.sample(-10));
    EXPECT_EQ(f.detector.stroke()->direction, -1);
    EXPECT_EQ(f.detector.stroke()->horizontal, 20);
    EXPECT_EQ(f.detector.strokeStarts().size(), 1u);
    EXPECT_EQ(f.detector.opposite(), (PointerShakeDetector::Travel{0, 0}));
}

TEST(PointerShakeDetector, BackwardTravelOfExactlyTheToleranceIsAReversal) {
    // Jitter is backward travel under the tolerance (12 points); 12 itself turns the stroke.
    Feeder under;
    under.stroke(30, 3);
    EXPECT_FALSE(under.sample(-11.999));
    EXPECT_EQ(under.detector.stroke()->direction, 1);
    Feeder at;
    at.stroke(30, 3);
    EXPECT_FALSE(at.sample(-12));
    EXPECT_EQ(at.detector.stroke()->direction, -1);
    EXPECT_EQ(at.detector.stroke()->horizontal, 12);
}

TEST(PointerShakeDetector, FourQuickStrokesShakeOnceWhenTheFourthIsLongEnough) {
    Feeder f;
    f.stroke(30, 3);
    f.stroke(-30, 3);
    f.stroke(30, 3);
    EXPECT_FALSE(f.sample(-30));
    EXPECT_FALSE(f.sample(-30)) << "60 points are not enough yet";
    EXPECT_TRUE(f.sample(-30));
    EXPECT_EQ(f.shakes, 1);
    EXPECT_FALSE(f.detector.stroke().has_value());
    EXPECT_TRUE(f.detector.strokeStarts().empty());
    // Continued shaking needs four more strokes.
    f.stroke(30, 3);
    f.stroke(-30, 3);
    f.stroke(30, 3);
    EXPECT_EQ(f.shakes, 1);
    f.stroke(-30, 3);
    EXPECT_EQ(f.shakes, 2);
}

TEST(PointerShakeDetector, ShortStrokeBreaksTheChain) {
    Feeder f;
    f.stroke(30, 3);
    f.stroke(-30, 2);  // 60 points
    f.sample(30);
    EXPECT_TRUE(f.detector.strokeStarts().empty());
}

TEST(PointerShakeDetector, SteepStrokeDoesNotCount) {
    Feeder f;
    f.sample(50, 30);
    f.sample(50, 30);  // 100 across, 60 down
    f.sample(-20);
    EXPECT_TRUE(f.detector.strokeStarts().empty());
    EXPECT_EQ(f.detector.stroke()->direction, -1);
}

TEST(PointerShakeDetector, LongPauseStartsOver) {
    Feeder f;
    f.stroke(30, 3);
    f.stroke(-30, 3);
    f.sample(30, 0, 0.3);
    EXPECT_TRUE(f.detector.strokeStarts().empty());
    EXPECT_EQ(f.detector.stroke()->horizontal, 30);
    EXPECT_EQ(f.detector.stroke()->start, f.now);
}

TEST(PointerShakeDetector, TimeRunningBackwardsStartsOver) {
    Feeder f;
    f.stroke(30, 3);
    f.stroke(-30, 3);
    f.sample(30, 0, -0.05);
    EXPECT_TRUE(f.detector.strokeStarts().empty());
    EXPECT_EQ(f.detector.stroke()->direction, 1);
}

TEST(PointerShakeDetector, SlowShakeIsNoShake) {
    Feeder f;
    // Strokes of 90 points over 0.45 s each: a stroke's start leaves the 1 s window before the
    // third stroke after it is long enough.
    for (int stroke = 0; stroke < 6; ++stroke) {
        for (int i = 0; i < 9; ++i) {
            f.sample(stroke % 2 == 0 ? 10 : -10, 0, 0.05);
        }
    }
    EXPECT_GE(f.detector.strokeStarts().size(), 1u);
    EXPECT_EQ(f.shakes, 0);
}

TEST(PointerShakeDetector, VerticalSamples) {
    Feeder f;
    EXPECT_FALSE(f.sample(0, 5));
    EXPECT_FALSE(f.detector.stroke().has_value()) << "a vertical sample starts nothing";
    f.stroke(30, 3);
    f.sample(-5);
    EXPECT_EQ(f.detector.opposite().horizontal, 5);
    f.sample(0, 5);
    EXPECT_EQ(f.detector.stroke()->vertical, 5);
    EXPECT_EQ(f.detector.stroke()->horizontal, 90) << "the backward jitter is forgotten";
    EXPECT_EQ(f.detector.opposite(), (PointerShakeDetector::Travel{0, 0}));
}

TEST(PointerShakeDetector, InvalidSamplesAreIgnored) {
    Feeder f;
    f.stroke(30, 2);
    const double before = f.now;
    EXPECT_FALSE(f.detector.observe(std::nan(""), 0, before + 0.01));
    EXPECT_FALSE(f.detector.observe(10, 0, INFINITY));
    EXPECT_EQ(f.detector.stroke()->horizontal, 60);
    // The ignored samples did not move the last sample time: a pause from `before` still counts.
    f.now = before + 0.3;
    f.sample(10, 0, 0);
    EXPECT_EQ(f.detector.stroke()->horizontal, 10);
}

TEST(PointerShakeDetector, ResetForgetsEverythingButTheConfiguration) {
    PointerShakeDetector detector(PointerShakeDetector::Configuration(3));
    detector.observe(100, 0, 0);
    detector.observe(-20, 0, 0.01);
    detector.reset();
    EXPECT_FALSE(detector.stroke().has_value());
    EXPECT_TRUE(detector.strokeStarts().empty());
    EXPECT_EQ(detector.configuration().minimumStrokes, 3);
    EXPECT_FALSE(detector.observe(-100, 0, 50)) << "no pause is measured from before the reset";
}

TEST(PointerShakeDetectorConfiguration, SanitisesOutOfRangeValues) {
    const double nan = std::nan("");
    const PointerShakeDetector::Configuration low(1, 0.5, -1, -1, -1, -1);
    EXPECT_EQ(low, PointerShakeDetector::Configuration(2, 1, 0, 0, 0, 0));
    const PointerShakeDetector::Configuration invalid(4, nan, INFINITY, nan, -INFINITY, nan);
    EXPECT_EQ(invalid, PointerShakeDetector::Configuration(4, 80, 1.0, 0.25, 12, 2.0));
}

}  // namespace
}  // namespace Injector
