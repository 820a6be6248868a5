#include "screen-view/RowRanges.h"

#include <algorithm>

namespace ScreenView {

void RowRanges::add(int first, int end) {
    if (end <= first) {
        return;
    }
    // The first range that ends at or after `first` (touching counts), and the first that starts after
    // `end`: everything between merges with the new range.
    auto begin = std::lower_bound(ranges_.begin(), ranges_.end(), first,
                                  [](const RowRange& range, int row) { return range.end < row; });
    auto last = begin;
    while (last != ranges_.end() && last->first <= end) {
        first = std::min(first, last->first);
        end = std::max(end, last->end);
        ++last;
    }
    begin = ranges_.erase(begin, last);
    ranges_.insert(begin, RowRange{first, end});
}

void RowRanges::add(const RowRanges& other) {
    for (const RowRange& range : other.ranges_) {
        add(range);
    }
}

void RowRanges::joinCloserThan(int gap) {
    std::vector<RowRange> joined;
    for (const RowRange& range : ranges_) {
        if (!joined.empty() && range.first - joined.back().end < gap) {
            joined.back().end = range.end;
        } else {
            joined.push_back(range);
        }
    }
    ranges_ = std::move(joined);
}

bool RowRanges::intersects(const RowRange& range) const {
    return std::any_of(ranges_.begin(), ranges_.end(), [&](const RowRange& mine) {
        return mine.first < range.end && range.first < mine.end;
    });
}

int RowRanges::rowCount() const {
    int count = 0;
    for (const RowRange& range : ranges_) {
        count += range.end - range.first;
    }
    return count;
}

}  // namespace ScreenView
