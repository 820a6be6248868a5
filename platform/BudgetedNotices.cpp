#include "platform/BudgetedNotices.h"

#include <chrono>

namespace platform {

void BudgetedNotices::notice(const std::string& line) {
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    NoticeBudget::Decision decision;
    {
        std::lock_guard lock(mutex_);
        decision = budget_.take(now);
    }
    if (decision.heldBack > 0) {
        logger_.notice(std::to_string(decision.heldBack) + " " + heldBack_);
    }
    if (decision.log) {
        logger_.notice(line);
    }
}

}  // namespace platform
