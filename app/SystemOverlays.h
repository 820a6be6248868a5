#pragma once
// The presentation overlays as the application builds them: the Qt windows over the X displays that
// the display directory lists, with the pointer read from the X server.
#include <memory>

#include "services/CompanionServices.h"

namespace platform {
class DisplayDirectory;
class EventLoop;
template <class T>
class Published;
}  // namespace platform

namespace Shell {

class SystemOverlays;

// Puts the annotation, picture and highlight services (and the overlay displays) into `services`, over the
// process's display directory (none: the X display cannot be reached, and the services stay absent), which
// lives on `loop`. The returned object owns the windows; it and the directory must outlive the runtime.
// Stops the picture decode under way and drops those still queued, so that a stop waits for none.
void discardPendingWork(SystemOverlays& overlays);

std::shared_ptr<SystemOverlays> installSystemOverlays(CompanionServices& services, platform::EventLoop& loop,
                                                      platform::DisplayDirectory* directory,
                                                      platform::Published<bool>& highlightsPointerOnShake);

}  // namespace Shell
