#pragma once
// The desktop's announcements that the screen locked or unlocked, for the screen-lock monitor: the
// ScreenSaver service's ActiveChanged on the session bus, and logind's Lock, Unlock and LockedHint
// changes of sessions on the system bus. A bus that cannot be reached is left out (the monitor's poll
// still catches every change).
#include "Injector/ScreenLockMonitor.h"

namespace platform {
class EventLoop;
}

namespace Injector {

// Deliveries run on `loop`, which must outlive every subscription; subscribe on the loop's thread.
ScreenLockMonitor::Subscribe screenLockSignals(platform::EventLoop& loop);

}  // namespace Injector
