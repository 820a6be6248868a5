#pragma once
// Notices of one kind that others can cause at will from any thread (pictures a phone sends, artwork a
// player shows, icons a phone asks for, each refused), logged within a NoticeBudget: what a window held
// back is told in one line, "<count> <heldBack>", before the next notice.
// Thread: any.
#include <mutex>
#include <string>

#include "platform/Log.h"
#include "platform/NoticeBudget.h"

namespace platform {

class BudgetedNotices {
  public:
    // `logger` must outlive this; `heldBack` completes the count, as in "more pictures were not shown".
    BudgetedNotices(const Logger& logger, std::string heldBack, int burst = 5, double window = 10.0)
        : logger_(logger), heldBack_(std::move(heldBack)), budget_(burst, window) {}

    void notice(const std::string& line);

  private:
    const Logger& logger_;
    const std::string heldBack_;
    std::mutex mutex_;
    NoticeBudget budget_;
};

}  // namespace platform
