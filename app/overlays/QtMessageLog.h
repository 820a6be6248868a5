#pragma once
// Qt's own messages (warnings about images it could not allocate, painters on null devices, ...) go to
// the project's log with a budget: the first lines of each minute are logged, the rest only counted, so a
// flood of one warning cannot fill the journal or stderr.
//
// Thread: any; Qt calls the handler from whichever thread warns.
#include <cstdint>

namespace OverlayWindows {

inline constexpr int qtMessageBurst = 20;
inline constexpr double qtMessageWindow = 60.0;

// Installs the handler for the whole process (once is enough; again does no harm).
void installQtMessageLog();

}  // namespace OverlayWindows
