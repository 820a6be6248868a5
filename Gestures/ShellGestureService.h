#pragma once
// The gesture engine as the application shell's GestureService, built the way the application builds
// it: the default mapping and configuration, the XTEST gesture poster, the X display's keyboard layout,
// the hot-key file with the Linux bindings, logind sleep, the pointer from the screen geometry, and the
// main queue as clock and scheduler.
#include <memory>
#include <string>

#include "app/services/InputServices.h"

namespace platform {
class Executor;
}

namespace Gestures {

// `executor` is the main queue; it must outlive the service. `displayName` empty: $DISPLAY.
std::shared_ptr<Shell::GestureService> makeShellGestureService(platform::Executor& executor,
                                                               const std::string& displayName = {});

}  // namespace Gestures
