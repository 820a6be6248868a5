#pragma once
// The desktop's announcements that the screen locked or unlocked, for the screen-lock monitor: the
// ScreenSaver service's ActiveChanged on the session bus, and logind's Lock, Unlock and LockedHint
// changes of sessions on the system bus. A bus that cannot be reached is left out (the monitor's poll
// still catches every change).
//
// And the lock probe read off the main loop: the probe asks the buses and the display, and a service
// that never answers would stall the loop for its time-outs at every check.
#include <functional>
#include <memory>

#include "injector/ScreenLockMonitor.h"

namespace platform {
class EventLoop;
}

namespace Injector {

// Deliveries run on `loop`, which must outlive every subscription; subscribe on the loop's thread.
ScreenLockMonitor::Subscribe screenLockSignals(platform::EventLoop& loop);

// Runs a blocking lock probe on a worker queue of its own and publishes what it read. `read` answers at
// once with the last published state and asks for a fresh reading (one at a time); a reading that
// differs is published and announced to the subscribers on the loop, which makes the monitor read again.
//
// Thread: `read`, `subscribe` and the announcements on the loop's thread; the probe on the worker. The
// probe must outlive this object, which waits for a reading under way when it goes.
class BackgroundLockProbe {
  public:
    BackgroundLockProbe(platform::EventLoop& loop, std::function<bool()> probe);
    ~BackgroundLockProbe();
    BackgroundLockProbe(const BackgroundLockProbe&) = delete;
    BackgroundLockProbe& operator=(const BackgroundLockProbe&) = delete;

    bool read();
    // The monitor's subscription: the announcements of `signals` and the changes this probe publishes.
    ScreenLockMonitor::Subscribe subscribe(ScreenLockMonitor::Subscribe signals);

  private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace Injector
