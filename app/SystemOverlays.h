#pragma once
// The presentation overlays as the application builds them: the Qt windows over the X displays that
// the display directory lists, with the pointer read from the X server.
#include <memory>

#include "app/services/CompanionServices.h"

namespace platform {
class EventLoop;
template <class T>
class Published;
}  // namespace platform

namespace Shell {

class SystemOverlays;

// Puts the annotation, picture and highlight services (and the overlay displays) into `services`. The
// returned object owns the windows and the display directory and must outlive the runtime; none, with the
// services left absent, when the X display cannot be reached.
std::shared_ptr<SystemOverlays> installSystemOverlays(CompanionServices& services, platform::EventLoop& loop,
                                                      platform::Published<bool>& highlightsPointerOnShake);

}  // namespace Shell
