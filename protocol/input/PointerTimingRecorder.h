#pragma once
// Statistics of the times at which pointer deltas arrive or are posted, reported at most once per
// interval for the timing log. A plain value; the injector keeps two on the main thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace TrackpadProtocol {

struct PointerTimingRecorder {
    // What happened since the previous report. Gaps are the times between successive arrivals, in seconds.
    struct Report {
        std::int64_t samples = 0;
        double rate = 0;  // arrivals per second
        double meanGap = 0;
        double p95Gap = 0;
        double maxGap = 0;
        std::int64_t longGaps = 0;  // gaps longer than the long-gap threshold
        bool operator==(const Report&) const = default;
        // "samples=%d rate=%.1fHz gap(ms)=mean:%.2f p95:%.2f max:%.2f >25ms:%d", gaps in milliseconds.
        std::string description() const;
    };

    // Gaps kept for the percentile; beyond this many in one report the percentile looks at the first ones
    // only (the other figures stay exact), so a huge interval cannot grow memory without bound.
    static constexpr std::size_t maxKeptGaps = 65536;

    // A negative or NaN interval or threshold becomes 0. `clock` gives seconds of system uptime.
    PointerTimingRecorder(double reportInterval, double longGapThreshold, std::function<double()> clock);

    // Records one arrival at `now` (a non-finite time is ignored); returns a report at most once per
    // report interval.
    std::optional<Report> record(double now);
    // Forgets the first and last arrival, the gaps and the last report.
    void reset();

    double reportInterval() const { return reportInterval_; }
    double longGapThreshold() const { return longGapThreshold_; }

  private:
    double reportInterval_;
    double longGapThreshold_;
    std::function<double()> clock_;  // the owner's time base; record() is given its times
    std::optional<double> firstArrival_;
    std::optional<double> lastArrival_;
    std::optional<double> lastReport_;
    // 64 bits: an interval long enough (or infinite) keeps counting for the life of the process.
    std::int64_t samples_ = 0;
    std::int64_t gapCount_ = 0;
    double gapSum_ = 0;
    double maxGap_ = 0;
    std::int64_t longGaps_ = 0;
    std::vector<double> gaps_;
};

}  // namespace TrackpadProtocol
