#pragma once
// Running applications from the window manager's client list: windows grouped by process, each group
// matched to a desktop entry (its bundle id) by the window's desktop-file hints, its class against
// StartupWMClass or the entry id, or the process's program against the entry's Exec line.
#include <cstdint>
#include <vector>

#include "apps/AppCatalogTypes.h"
#include "apps/InstalledAppScanner.h"
#include "apps/WindowDirectory.h"

namespace Apps {

struct RunningApp {
    RunningAppInfo info;
    std::vector<std::uint32_t> windows;  // normal windows first, in the manager's order
};

// In the order of each application's first window. Processes that have ended are left out.
std::vector<RunningApp> runningApps(const std::vector<ClientWindow>& clients,
                                    const std::vector<InstalledAppScanner::Record>& records);

}  // namespace Apps
