#pragma once
// RandR monitors read on a connection the caller already has (the capture thread's, the notifier's).
// Internal to the module's X11 code.
#include <vector>

#include "ScreenView/ScreenDisplayList.h"
#include "ScreenView/XDisplayConnection.h"

namespace ScreenView {

// The active monitors, mirrors left out; without RandR 1.5, the whole screen as one display.
std::vector<ScreenDisplayList::Description> readMonitors(const XDisplayConnection& display);

}  // namespace ScreenView
