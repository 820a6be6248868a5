#pragma once
// Whether the screen is locked, for the phones that follow it: read when started, re-read when the system
// announces a lock or an unlock (and again about 0.3, 1 and 3 s later, as the state may settle late), and
// polled every 2 s as a safety net. The handler is called only when the reported state changes.
//
// Thread: the executor's (the main queue); the probe, the subscription's handler and onChange run there.
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Executor.h"

namespace Injector {

class ScreenLockMonitor {
  public:
    using Probe = std::function<bool()>;
    using Unsubscribe = std::function<void()>;
    // Delivers each lock or unlock announcement to the handler on the executor; returns what ends it.
    using Subscribe = std::function<Unsubscribe(std::function<void()> handler)>;
    using ChangeHandler = std::function<void(bool locked)>;

    ScreenLockMonitor(platform::Executor& executor, Probe isLocked, Subscribe subscribe,
                      std::optional<double> pollInterval = 2.0,
                      std::vector<double> recheckDelays = {0.3, 1.0, 3.0});
    ~ScreenLockMonitor();
    ScreenLockMonitor(const ScreenLockMonitor&) = delete;
    ScreenLockMonitor& operator=(const ScreenLockMonitor&) = delete;

    // Renews the handler and reads the state (returned; the handler is not called). Subscribes and starts
    // polling only when not already doing so.
    bool start(ChangeHandler onChange);
    void stop();
    std::optional<bool> status() const { return status_; }

  private:
    void refresh();
    void notificationReceived();
    void schedulePoll();
    void scheduleRecheck(std::size_t index, double previousDelay, std::uint64_t generation);

    platform::Executor& executor_;
    Probe isLocked_;
    Subscribe subscribe_;
    std::optional<double> pollInterval_;
    std::vector<double> recheckDelays_;
    std::optional<bool> status_;
    ChangeHandler onChange_;
    Unsubscribe unsubscribe_;
    std::optional<platform::Executor::TimerID> pollTask_;
    std::optional<platform::Executor::TimerID> recheckTask_;
    std::uint64_t recheckGeneration_ = 0;
    // Timers and deliveries hold this weakly: they do nothing once the monitor is gone.
    std::shared_ptr<ScreenLockMonitor*> self_;
};

}  // namespace Injector
