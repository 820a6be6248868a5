#pragma once
// A rate limit for log lines that others can cause (a phone's bad frames, refused connections, requests
// a phone may repeat at will): the first `burst` lines of each window are logged, the rest are only
// counted, and the count is told in one line when the next window begins or the source goes away.
// `now` is any clock in seconds that does not go back. Lives on one thread.
#include <cstdint>

namespace platform {

class NoticeBudget {
  public:
    NoticeBudget(int burst, double window) : burst_(burst), window_(window) {}

    struct Decision {
        // Log the line.
        bool log = false;
        // Lines held back in the window that just ended, to be told first (0: nothing to tell).
        std::uint64_t heldBack = 0;
    };

    Decision take(double now) {
        Decision decision;
        if (!(now - windowStart_ < window_) || now < windowStart_) {
            decision.heldBack = heldBack_;
            heldBack_ = 0;
            used_ = 0;
            windowStart_ = now;
        }
        if (used_ < burst_) {
            ++used_;
            decision.log = true;
        } else {
            ++heldBack_;
        }
        return decision;
    }

    // Lines held back and not told yet; the count starts again.
    std::uint64_t takeHeldBack() {
        const std::uint64_t count = heldBack_;
        heldBack_ = 0;
        return count;
    }

    double window() const { return window_; }

  private:
    int burst_;
    double window_;
    double windowStart_ = -1e300;
    int used_ = 0;
    std::uint64_t heldBack_ = 0;
};

}  // namespace platform
