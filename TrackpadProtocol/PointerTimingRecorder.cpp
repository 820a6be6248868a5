#include "TrackpadProtocol/PointerTimingRecorder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace TrackpadProtocol {

namespace {
double sanitized(double value) {
    return std::isnan(value) || value < 0 ? 0 : value;
}
}  // namespace

std::string PointerTimingRecorder::Report::description() const {
    char text[160];
    std::snprintf(text, sizeof text, "samples=%d rate=%.1fHz gap(ms)=mean:%.2f p95:%.2f max:%.2f >25ms:%d",
                  samples, rate, meanGap * 1000.0, p95Gap * 1000.0, maxGap * 1000.0, longGaps);
    return text;
}

PointerTimingRecorder::PointerTimingRecorder(double reportInterval, double longGapThreshold,
                                             std::function<double()> clock)
    : reportInterval_(sanitized(reportInterval)),
      longGapThreshold_(sanitized(longGapThreshold)),
      clock_(std::move(clock)) {}

std::optional<PointerTimingRecorder::Report> PointerTimingRecorder::record(double now) {
    if (!std::isfinite(now))
        return std::nullopt;
    if (lastArrival_) {
        const double gap = now - *lastArrival_;
        // A clock that went back gives no gap worth counting.
        if (gap >= 0) {
            ++gapCount_;
            gapSum_ += gap;
            maxGap_ = std::max(maxGap_, gap);
            if (gap > longGapThreshold_)
                ++longGaps_;
            if (gaps_.size() < maxKeptGaps)
                gaps_.push_back(gap);
        }
    }
    if (!firstArrival_)
        firstArrival_ = now;
    lastArrival_ = now;
    ++samples_;

    const double windowStart = lastReport_ ? *lastReport_ : *firstArrival_;
    if (now - windowStart < reportInterval_)
        return std::nullopt;

    Report report;
    report.samples = samples_;
    report.maxGap = maxGap_;
    report.longGaps = longGaps_;
    if (gapCount_ > 0) {
        report.meanGap = gapSum_ / gapCount_;
        if (report.meanGap > 0)
            report.rate = 1.0 / report.meanGap;
    }
    if (!gaps_.empty()) {
        // Nearest rank: the smallest gap that at least 95 % of the gaps do not exceed.
        const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(gaps_.size())));
        const auto nth = gaps_.begin() + static_cast<std::ptrdiff_t>(rank - 1);
        std::nth_element(gaps_.begin(), nth, gaps_.end());
        report.p95Gap = *nth;
    }
    lastReport_ = now;
    samples_ = 0;
    gapCount_ = 0;
    gapSum_ = 0;
    maxGap_ = 0;
    longGaps_ = 0;
    gaps_.clear();
    return report;
}

void PointerTimingRecorder::reset() {
    firstArrival_.reset();
    lastArrival_.reset();
    lastReport_.reset();
    samples_ = 0;
    gapCount_ = 0;
    gapSum_ = 0;
    maxGap_ = 0;
    longGaps_ = 0;
    gaps_.clear();
}

}  // namespace TrackpadProtocol
