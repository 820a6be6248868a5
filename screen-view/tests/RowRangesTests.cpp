// The changed-row set: merging on insertion, joining near bands, intersection.
#include "screen-view/RowRanges.h"

#include <gtest/gtest.h>

namespace ScreenView {
namespace {

TEST(RowRanges, MergesOverlappingAndTouchingRangesAndJoinsCloseOnes) {
    RowRanges rows;
    rows.add(50, 60);
    rows.add(10, 20);
    rows.add(5, 5);    // empty: ignored
    rows.add(20, 25);  // touches: merged
    rows.add(100, 110);
    rows.add(55, 105);  // spans two: all three merge
    EXPECT_EQ(rows.ranges(), (std::vector<RowRange>{{10, 25}, {50, 110}}));
    EXPECT_EQ(rows.rowCount(), 75);
    EXPECT_TRUE(rows.intersects({24, 30}));
    EXPECT_FALSE(rows.intersects({25, 50}));
    EXPECT_FALSE(rows.intersects({}));
    rows.add(200, 210);
    rows.joinCloserThan(26);  // 25..50 is 25 rows apart: joined; 110..200 is not
    EXPECT_EQ(rows.ranges(), (std::vector<RowRange>{{10, 110}, {200, 210}}));
}

}  // namespace
}  // namespace ScreenView
