#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "injector/ScreenGeometry.h"

namespace Injector {
namespace {

const std::vector<Rect> sideBySide = {{0, 0, 1000, 800}, {1000, 0, 800, 600}};

TEST(ClampToDisplays, WithoutUsableDisplaysLeavesThePointAlone) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(clampToDisplays({-5, 7000}, {}), (Point{-5, 7000}));
    EXPECT_EQ(clampToDisplays({-5, 7000}, {{0, 0, 0, 100}, {0, 0, 100, 0}, {inf, inf, 0, 0}}),
              (Point{-5, 7000}));
}

TEST(ClampToDisplays, NearEdgesAreInsideAndFarEdgesOutside) {
    const std::vector<Rect> one = {{0, 0, 1920, 1080}};
    EXPECT_EQ(clampToDisplays({0, 0}, one), (Point{0, 0}));
    EXPECT_EQ(clampToDisplays({1919.75, 1079.5}, one), (Point{1919.75, 1079.5}));
    EXPECT_EQ(clampToDisplays({1920, 500}, one), (Point{1919, 500}));
    EXPECT_EQ(clampToDisplays({500, 1080}, one), (Point{500, 1079}));
    EXPECT_EQ(clampToDisplays({-1e9, 1e9}, one), (Point{0, 1079}));
}

TEST(ClampToDisplays, PicksTheNearestOfTwoDisplays) {
    EXPECT_EQ(clampToDisplays({1500, 700}, sideBySide), (Point{1500, 599}));
    EXPECT_EQ(clampToDisplays({-20, 100}, sideBySide), (Point{0, 100}));
    // Inside the first display, below the second one's bottom edge: stays.
    EXPECT_EQ(clampToDisplays({999.5, 700}, sideBySide), (Point{999.5, 700}));
    // In the corner right of and below the second display.
    EXPECT_EQ(clampToDisplays({2000, 900}, sideBySide), (Point{1799, 599}));
}

TEST(ClampToDisplays, EarlierDisplayWinsATie) {
    // (1000, 800) lies 100 from (900, 800) on one display and 100 from (1100, 800) on the other.
    const std::vector<Rect> a = {{0, 0, 901, 801}, {1100, 0, 500, 801}};
    EXPECT_EQ(clampToDisplays({1000, 800}, a), (Point{900, 800}));
    const std::vector<Rect> b = {a[1], a[0]};
    EXPECT_EQ(clampToDisplays({1000, 800}, b), (Point{1100, 800}));
}

TEST(ClampToDisplays, DisplayNarrowerThanOnePointCollapsesToItsNearEdge) {
    EXPECT_EQ(clampToDisplays({50, 10}, {{10, 0, 0.5, 100}}), (Point{10, 10}));
}

TEST(ClampToDisplays, NegativeSizesExtendLeftAndUp) {
    const std::vector<Rect> flipped = {{100, 100, -100, -100}};
    EXPECT_EQ(clampToDisplays({50, 50}, flipped), (Point{50, 50}));
    EXPECT_EQ(clampToDisplays({150, 150}, flipped), (Point{99, 99}));
}

TEST(ClampToDisplays, IgnoresRectanglesWithNonFiniteEdges) {
    const double nan = std::nan("");
    EXPECT_EQ(clampToDisplays({5000, 5}, {{nan, 0, 100, 100}, {0, 0, 100, 100}}), (Point{99, 5}));
}

}  // namespace
}  // namespace Injector
