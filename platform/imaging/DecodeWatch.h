#pragma once
// What a decode looks at between slices of its input and rows of its output: the caller's stop flag, and
// the CPU time the decoding thread has spent on it, against the backstop (DecodeOptions::cpuTimeLimit)
// and, for a decode that can tell what it still has before it, against its figure.
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

    // The CPU time, in nanoseconds, the decode still needs given what it has spent since it was foreseen.
    using Ahead = std::int64_t (*)(const void* context, std::int64_t spent);

    DecodeWatch(const std::atomic<bool>* stop, std::chrono::nanoseconds limit)
        : stop_(stop),
          limit_(limit.count()),
          start_(nanoseconds(CLOCK_THREAD_CPUTIME_ID)),
          lastLook_(nanoseconds(CLOCK_MONOTONIC_COARSE)) {}

    // From now on, each look at the clock also ends the decode (overTime) once what it has spent and
    // what `ahead` says it still needs come to more than `figure`. `context` must outlive the looks.
    // Without `ahead`, the looks go back to the backstop alone.
    void foresee(Ahead ahead, const void* context, std::chrono::nanoseconds figure) {
        ahead_ = ahead;
        context_ = context;
        figure_ = figure.count();
        foreseen_ = ahead ? nanoseconds(CLOCK_THREAD_CPUTIME_ID) - start_ : 0;
    }

    Verdict check() {
        if (stop_ && stop_->load(std::memory_order_relaxed))
            return stopped;
        const std::int64_t now = nanoseconds(CLOCK_MONOTONIC_COARSE);
        if (now - lastLook_ < lookEvery)
            return carryOn;
        lastLook_ = now;
        const std::int64_t spent = nanoseconds(CLOCK_THREAD_CPUTIME_ID) - start_;
        if (spent > limit_)
            return overTime;
        if (ahead_ && ahead_(context_, spent - foreseen_) > figure_ - spent)
            return overTime;
        return carryOn;
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
    Ahead ahead_ = nullptr;
    const void* context_ = nullptr;
    std::int64_t figure_ = 0;
    std::int64_t foreseen_ = 0;  // the CPU time spent before
};

}  // namespace platform::imaging
