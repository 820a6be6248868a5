#pragma once
// What a decode looks at between slices of its input and rows of its output: the caller's stop flag, and
// the CPU time the decoding thread has spent on it, against the backstop (DecodeOptions::cpuTimeLimit).
// The flag is read at every look; the CPU time, which costs a system call, at most every 5 ms of the
// clock, which the process reads for a few nanoseconds.
// Thread: the decoding thread's own.
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace platform::imaging {

class DecodeWatch {
  public:
    enum Verdict { carryOn, stopped, overTime };

    DecodeWatch(const std::atomic<bool>* stop, std::chrono::nanoseconds limit)
        : stop_(stop),
          limit_(limit.count()),
          start_(nanoseconds(CLOCK_THREAD_CPUTIME_ID)),
          lastLook_(nanoseconds(CLOCK_MONOTONIC_COARSE)) {}

    Verdict check() {
        if (stop_ && stop_->load(std::memory_order_relaxed))
            return stopped;
        const std::int64_t now = nanoseconds(CLOCK_MONOTONIC_COARSE);
        if (now - lastLook_ < lookEvery)
            return carryOn;
        lastLook_ = now;
        return nanoseconds(CLOCK_THREAD_CPUTIME_ID) - start_ > limit_ ? overTime : carryOn;
    }

  private:
    static constexpr std::int64_t lookEvery = 5'000'000;

    static std::int64_t nanoseconds(clockid_t clock) {
        timespec now{};
        clock_gettime(clock, &now);
        return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    }

    const std::atomic<bool>* stop_;
    std::int64_t limit_;
    std::int64_t start_;
    std::int64_t lastLook_;
};

}  // namespace platform::imaging
