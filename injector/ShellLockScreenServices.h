#pragma once
// The unlocker and the screen-lock monitor as the application shell's services, built the way the
// application builds them: the system lock screen and keyboard layout, an XTEST poster of the unlocker's
// own, the serial queue "dev.quelmar.trackpad.mac.unlock", the application's timing, the monotonic clock
// and a blocking sleep; the monitor with the lock probe (read on a worker, never on the main loop), the
// desktop's lock announcements, a 2 s poll and rechecks at 0.3, 1 and 3 s.
#include <memory>
#include <string>

#include "services/LockScreenServices.h"

namespace platform {
class EventLoop;
}

namespace Injector {

class XTestKeyboard;

// `keyboard` is the process's one keyboard, shared with the other posters (none: the poster makes its own).
std::shared_ptr<Shell::UnlockService> makeShellUnlockService(
    const std::string& displayName = {}, std::shared_ptr<XTestKeyboard> keyboard = nullptr);
// `loop` is the main queue; it must outlive the service.
std::shared_ptr<Shell::ScreenLockService> makeShellScreenLockService(platform::EventLoop& loop,
                                                                     const std::string& displayName = {});

}  // namespace Injector
