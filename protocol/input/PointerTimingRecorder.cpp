#include "protocol/input/PointerTimingRecorder.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace TrackpadProtocol {

namespace {
double sanitized(double value) {
    return std::isnan(value) || value < 0 ? 0 : value;
}
}  // namespace

std::string PointerTimingRecorder::Report::description() const {
    static constexpr const char* format =
        "samples=%" PRId64 " rate=%.1fHz gap(ms)=mean:%.2f p95:%.2f max:%.2f >25ms:%" PRId64;
    auto print = [&](char* text, std::size_t size) {
        return std::snprintf(text, size, format, samples, rate, meanGap * 1000.0, p95Gap * 1000.0,
                             maxGap * 1000.0, longGaps);
    };
    // Gaps come from the owner's clock; a wild one can print hundreds of digits.
    const int length = print(nullptr, 0);
    if (length <= 0) return {};
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    print(text.data(), text.size());
    text.resize(static_cast<std::size_t>(length));
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
        report.meanGap = gapSum_ / static_cast<double>(gapCount_);
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
