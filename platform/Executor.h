#pragma once
// The scheduling seam every main-queue service is given: the real EventLoop in the process,
// a ManualExecutor with virtual time in tests.
#include <chrono>
#include <cstdint>
#include <functional>

namespace platform {

class Executor {
public:
    using Task = std::function<void()>;
    using TimerID = std::uint64_t;

    virtual ~Executor() = default;

    // Runs the task on the executor's thread, after the tasks already posted. Callable from any thread.
    virtual void post(Task task) = 0;

    // Runs the task once after `delay`, at the latest `leeway` later (the slack lets the executor coalesce
    // wake-ups). Timers due at the same time run in scheduling order. Callable from any thread. Returns an
    // id for cancel(); ids are never 0 and never reused.
    virtual TimerID schedule(std::chrono::microseconds delay, Task task,
                             std::chrono::microseconds leeway = std::chrono::microseconds{0}) = 0;

    // Cancels a timer that has not fired yet; an unknown or fired id is ignored. Callable from any thread.
    virtual void cancel(TimerID id) = 0;

    // Seconds of monotonic time (system uptime in the process, virtual time in tests).
    virtual double now() const = 0;

    // True when called on the executor's own thread.
    virtual bool isCurrent() const = 0;
};

// Seconds of CLOCK_MONOTONIC.
double monotonicSeconds();

}  // namespace platform
