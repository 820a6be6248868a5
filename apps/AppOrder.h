#pragma once
// The order in which names are shown in lists: the user's locale collation with digit runs compared by
// value and case folded, so "Tool 9" comes before "Tool 10" and "alpha" sits with "Alpha".
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Apps {

// Byte strings that compare (with plain byte order) as the names do. Invalid UTF-8 is compared by its
// replacement characters. Computing keys once and comparing them is how long lists are sorted.
class AppOrder {
  public:
    AppOrder();
    ~AppOrder();
    AppOrder(const AppOrder&) = delete;
    AppOrder& operator=(const AppOrder&) = delete;

    std::string sortKey(std::string_view name) const;
    // Negative, zero or positive as a sorts before, with or after b.
    int compare(std::string_view a, std::string_view b) const;

  private:
    void* collator_;  // UCollator; without ICU data the keys fall back to a case-folded natural order
};

}  // namespace Apps
