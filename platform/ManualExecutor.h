#pragma once
// An executor with virtual time for tests: nothing runs until the test advances time or drains
// the queue, so timeouts, retries and pacing take no real time. Single-threaded.
#include <map>
#include <vector>

#include "platform/Executor.h"

namespace platform {

class ManualExecutor final : public Executor {
public:
    explicit ManualExecutor(double start = 1000.0) : now_(start) {}

    void post(Task task) override;
    TimerID schedule(std::chrono::microseconds delay, Task task, std::chrono::microseconds leeway) override;
    using Executor::schedule;
    void cancel(TimerID id) override;
    double now() const override { return now_; }
    bool isCurrent() const override { return true; }

    // Runs posted tasks (and the tasks they post) without moving time.
    void drain();
    // Moves time forward by `seconds`, running every timer that falls due on the way at its own time.
    void advance(double seconds);
    // Moves time to the next timer and runs it; false when no timer is pending.
    bool runNextTimer();
    std::size_t pendingTimers() const { return timers_.size(); }

private:
    double now_;
    std::vector<Task> posted_;
    std::multimap<std::pair<double, TimerID>, Task> timers_;
    TimerID next_ = 1;
};

}  // namespace platform
