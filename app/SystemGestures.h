#pragma once
// The gesture engine as the application builds it, behind the runtime's gesture service: XTEST posting,
// the hot keys of the desktop, the keyboard layout of the X server, sleep through logind.
#include <memory>

#include "injector/XTestKeyboard.h"

#include "injector/ScreenGeometry.h"
#include "platform/Executor.h"
#include "services/InputServices.h"

namespace Shell {

// The executor runs the engine's scheduled work; it and the geometry must outlive the service. Keys go
// to `keyboard`, the process's one keyboard.
std::shared_ptr<GestureService> makeSystemGestureService(
    platform::Executor& executor, Injector::ScreenGeometry& geometry,
    std::shared_ptr<Injector::XTestKeyboard> keyboard = nullptr);

}  // namespace Shell
