#pragma once
// A set of pixel rows kept as sorted, disjoint [first, end) ranges: the rows of a monitor that changed, that
// must be grabbed again or that a pooled frame has yet to take over.
//
// Thread: one thread at a time (the capture thread).
#include <vector>

namespace ScreenView {

struct RowRange {
    int first = 0;
    int end = 0;  // one past the last row
    bool operator==(const RowRange&) const = default;
};

class RowRanges {
  public:
    // Empty ranges are ignored; ranges that overlap or touch an existing one merge with it.
    void add(int first, int end);
    void add(const RowRange& range) { add(range.first, range.end); }
    void add(const RowRanges& other);
    // Joins ranges that lie less than `gap` rows apart, so that a scatter of small changes costs a few
    // large reads rather than many small ones.
    void joinCloserThan(int gap);
    bool intersects(const RowRange& range) const;
    bool empty() const { return ranges_.empty(); }
    void clear() { ranges_.clear(); }
    int rowCount() const;
    const std::vector<RowRange>& ranges() const { return ranges_; }

  private:
    std::vector<RowRange> ranges_;
};

}  // namespace ScreenView
