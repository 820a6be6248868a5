#pragma once
// An executor with virtual time for tests: nothing runs until the test advances time or drains
// the queue, so timeouts, retries and pacing take no real time. Single-threaded.
#include <cstdint>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Executor.h"

namespace platform {

class ManualExecutor final : public Executor {
public:
    explicit ManualExecutor(double start = 1000.0);

    void post(Task task) override;
    // Leeway is ignored: every timer runs exactly at its deadline. The default repeats the base's, as a
    // default argument is taken from the static type of the call.
    TimerID schedule(std::chrono::microseconds delay, Task task,
                     std::chrono::microseconds leeway = std::chrono::microseconds{0}) override;
    void cancel(TimerID id) override;
    double now() const override { return static_cast<double>(nowMicros_) / 1e6; }
    bool isCurrent() const override { return true; }

    // Runs posted tasks (and the tasks they post) without moving time.
    void drain();
    // Moves time forward by `seconds`, running every timer that falls due on the way at its own time
    // (now() equals the timer's deadline while it runs), in deadline order, ties in scheduling order,
    // with the posted tasks drained after each.
    void advance(double seconds);
    void advance(std::chrono::microseconds duration);
    // Moves time to the next timer and runs it; false when no timer is pending.
    bool runNextTimer();
    std::size_t pendingTimers() const { return timers_.size(); }
    std::size_t pendingTasks() const { return posted_.size(); }

private:
    using TimerKey = std::pair<std::int64_t, TimerID>;  // deadline in microseconds, then scheduling order

    void runFirstTimer();

    // Whole microseconds, so that many small advances add up exactly to a timer's deadline.
    std::int64_t nowMicros_;
    std::vector<Task> posted_;
    std::map<TimerKey, Task> timers_;
    std::unordered_map<TimerID, std::int64_t> deadlines_;
    TimerID next_ = 1;
};

}  // namespace platform
