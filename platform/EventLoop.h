#pragma once
// The main queue: epoll with timerfd timers (microsecond resolution, CLOCK_MONOTONIC), an eventfd for
// post() from any thread, and watches on file descriptors. Lives on the thread that calls run().
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Executor.h"

namespace platform {

class EventLoop final : public Executor {
public:
    enum Event : std::uint32_t { readable = 1, writable = 2 };
    using WatchID = std::uint64_t;
    // Called with the events that fired (readable | writable; errors and hang-ups count as both).
    using WatchHandler = std::function<void(std::uint32_t events)>;

    EventLoop();
    ~EventLoop() override;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void post(Task task) override;
    // The default repeats the base's: a default argument is taken from the static type of the call.
    TimerID schedule(std::chrono::microseconds delay, Task task,
                     std::chrono::microseconds leeway = std::chrono::microseconds{0}) override;
    void cancel(TimerID id) override;
    double now() const override;
    bool isCurrent() const override;

    // Loop-thread only. One watch per descriptor (std::invalid_argument for a second one; std::system_error
    // when epoll refuses the descriptor). Remove the watch before closing the descriptor. A watch with no
    // events stays registered but is taken out of epoll, so a hung-up descriptor cannot spin the loop.
    // The handler may remove its own or any other watch.
    WatchID watch(int fd, std::uint32_t events, WatchHandler handler);
    void updateWatch(WatchID id, std::uint32_t events);
    void removeWatch(WatchID id);

    // Runs until stop(); returns at once if stop() was called before run(). Each stop() ends one run()
    // or runFor(), so the loop can be run again afterwards. The calling thread becomes the loop's thread.
    void run();
    // Runs ready work until `seconds` have passed or stop() is called (at least one non-blocking pass).
    void runFor(double seconds);
    // Callable from any thread.
    void stop();

    // The epoll descriptor, readable when the loop has work; lets a toolkit loop drive this one.
    int fd() const { return epollFD_; }
    // Runs whatever is ready now without blocking.
    void runOnce();

private:
    struct Timer {
        Task task;
        double latest;  // deadline + leeway: the timer must have run by then
    };
    struct Watch {
        int fd;
        std::uint32_t events;
        std::shared_ptr<WatchHandler> handler;
    };
    using TimerKey = std::pair<double, TimerID>;  // deadline, then scheduling order

    void iterate(int timeoutMs);
    double wakeTime() const;        // with mutex_ held
    void armTimerFD(double at);     // with mutex_ held
    void runDueTimers();
    void runPosted();
    void applyWatch(int op, int fd, std::uint32_t events, WatchID id);
    bool consumeStop();

    int epollFD_ = -1;
    int wakeFD_ = -1;
    int timerFD_ = -1;
    std::atomic<bool> stopped_{false};
    std::atomic<std::thread::id> thread_{};

    std::mutex mutex_;  // guards posted_, timers_, deadlines_, armedAt_, nextTimer_
    std::vector<Task> posted_;
    std::map<TimerKey, Timer> timers_;
    std::unordered_map<TimerID, double> deadlines_;
    double armedAt_;  // when the timerfd fires next; infinity when disarmed
    TimerID nextTimer_ = 1;

    std::unordered_map<WatchID, Watch> watches_;
    std::unordered_map<int, WatchID> watchByFD_;
    WatchID nextWatch_ = 1;
};

}  // namespace platform
