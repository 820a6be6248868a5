#include "protocol/input/PointerTimingRecorder.h"

#include <gtest/gtest.h>

#include <limits>

namespace TrackpadProtocol {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
double noClock() {
    return 0;
}

TEST(PointerTimingRecorder, InitialiserTurnsNegativeAndNaNSettingsIntoZero) {
    EXPECT_EQ(PointerTimingRecorder(-1, -0.5, noClock).reportInterval(), 0);
    EXPECT_EQ(PointerTimingRecorder(-1, -0.5, noClock).longGapThreshold(), 0);
    EXPECT_EQ(PointerTimingRecorder(nan, nan, noClock).reportInterval(), 0);
    EXPECT_EQ(PointerTimingRecorder(nan, nan, noClock).longGapThreshold(), 0);
    EXPECT_EQ(PointerTimingRecorder(1.0, 0.025, noClock).reportInterval(), 1.0);
    EXPECT_EQ(PointerTimingRecorder(1.0, 0.025, noClock).longGapThreshold(), 0.025);
}

TEST(PointerTimingRecorder, ReportsAtMostOncePerIntervalWithTheGapsSinceTheLastReport) {
    PointerTimingRecorder recorder(1.0, 0.025, noClock);
    // 100 arrivals 10 ms apart, with one gap of 40 ms and one of 30 ms among them.
    double now = 5.0;
    std::optional<PointerTimingRecorder::Report> report;
    int arrivals = 0;
    while (!report) {
        now += arrivals == 50 ? 0.040 : arrivals == 60 ? 0.030 : 0.010;
        report = recorder.record(now);
        ++arrivals;
        ASSERT_LT(arrivals, 200);
    }
    // The first arrival opens the window; the report comes with the first arrival a second after it.
    EXPECT_EQ(report->samples, arrivals);
    EXPECT_EQ(report->longGaps, 2);
    EXPECT_NEAR(report->maxGap, 0.040, 1e-9);
    EXPECT_NEAR(report->p95Gap, 0.010, 1e-9);
    EXPECT_NEAR(report->meanGap, (now - 5.010) / (arrivals - 1), 1e-9);
    EXPECT_NEAR(report->rate, 1.0 / report->meanGap, 1e-9);

    // The next window starts at the report: nothing for another second, then only its own arrivals.
    const double reported = now;
    for (int i = 1; i < 50; ++i)
        EXPECT_FALSE(recorder.record(reported + i * 0.020));
    EXPECT_FALSE(recorder.record(reported + 0.999));
    auto second = recorder.record(reported + 1.0);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->samples, 51);
    EXPECT_EQ(second->longGaps, 0);
    EXPECT_NEAR(second->maxGap, 0.020, 1e-9);
    EXPECT_NEAR(second->rate, 51.0, 1e-6);
}

TEST(PointerTimingRecorder, PercentileIsTheNearestRank) {
    PointerTimingRecorder recorder(10.0, 0.025, noClock);
    double now = 0;
    recorder.record(now);
    // Gaps of 1 ms to 20 ms, then the 10 s gap of the reporting arrival: the 95th percentile of these
    // 21 gaps is the 20th smallest.
    for (int gap = 20; gap >= 1; --gap)
        recorder.record(now += gap / 1000.0);
    auto report = recorder.record(now + 10.0);
    ASSERT_TRUE(report);
    EXPECT_NEAR(report->p95Gap, 0.020, 1e-9);
    EXPECT_EQ(report->longGaps, 1);  // the 10 s gap itself
}

TEST(PointerTimingRecorder, DescriptionGivesTheGapsInMilliseconds) {
    PointerTimingRecorder::Report report{120, 119.96, 0.0083349, 0.01, 0.0301, 1};
    EXPECT_EQ(report.description(), "samples=120 rate=120.0Hz gap(ms)=mean:8.33 p95:10.00 max:30.10 >25ms:1");
    EXPECT_EQ(PointerTimingRecorder::Report{}.description(),
              "samples=0 rate=0.0Hz gap(ms)=mean:0.00 p95:0.00 max:0.00 >25ms:0");
    // Counts past 32 bits (an interval long enough never reports) and gaps from a wild clock print whole.
    const auto huge = PointerTimingRecorder::Report{5'000'000'000, 0, 0, 0, 1e200, 4'294'967'296}.description();
    EXPECT_EQ(huge.rfind("samples=5000000000 ", 0), 0u) << huge;
    EXPECT_EQ(huge.substr(huge.size() - 17), " >25ms:4294967296") << huge;
}

TEST(PointerTimingRecorder, ResetForgetsArrivalsGapsAndTheLastReport) {
    PointerTimingRecorder recorder(1.0, 0.025, noClock);
    recorder.record(0);
    recorder.record(0.5);
    ASSERT_TRUE(recorder.record(1.0));
    recorder.record(1.2);
    recorder.reset();
    // The window restarts at the next arrival and no gap reaches back to the arrivals before the reset.
    EXPECT_FALSE(recorder.record(3.0));
    EXPECT_FALSE(recorder.record(3.5));
    auto report = recorder.record(4.0);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->samples, 3);
    EXPECT_NEAR(report->maxGap, 0.5, 1e-12);
}

TEST(PointerTimingRecorder, ZeroIntervalReportsEveryArrivalAndNonFiniteTimesAreIgnored) {
    PointerTimingRecorder recorder(0, 0, noClock);
    EXPECT_FALSE(recorder.record(nan));
    EXPECT_FALSE(recorder.record(std::numeric_limits<double>::infinity()));
    auto first = recorder.record(1.0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->samples, 1);
    EXPECT_EQ(first->maxGap, 0);
    auto second = recorder.record(1.25);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->samples, 1);
    EXPECT_EQ(second->longGaps, 1);
    EXPECT_NEAR(second->rate, 4.0, 1e-12);
}

}  // namespace
}  // namespace TrackpadProtocol
