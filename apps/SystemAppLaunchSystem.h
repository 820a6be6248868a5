#pragma once
// The system's launch seam: running instances from the window manager's list (through the catalog's
// provider), desktop entries found by id in the scanner's records (a phone's id is only ever compared,
// never made into a path), activation through _NET_ACTIVE_WINDOW after un-minimizing, and starting
// from the entry's Exec line without a shell.
//
// A running application is only ever activated, never started again from its entry: on Linux that
// would usually open a second instance. A Terminal=true entry runs in the user's terminal program,
// given the entry's argument vector after "-e".
#include <memory>

#include "apps/AppLauncher.h"
#include "apps/SystemAppCatalogProvider.h"

namespace Apps {

// The user's terminal program: $TERMINAL when it names one, else the system's x-terminal-emulator;
// none when neither exists.
std::optional<std::string> terminalProgram();

class SystemAppLaunchSystem final : public AppLaunchSystem {
  public:
    // Shares the provider's window list and entry cache.
    explicit SystemAppLaunchSystem(std::shared_ptr<SystemAppCatalogProvider> provider,
                                   InstalledAppScanner scanner = InstalledAppScanner(),
                                   std::string displayName = {});

    std::vector<RunningAppInfo> runningApplications(const std::string& bundleID) override;
    std::optional<std::filesystem::path> applicationURL(const std::string& bundleID) override;
    void activate(const RunningAppInfo& app, Completion completion) override;
    void open(const std::filesystem::path& url, Completion completion) override;

  private:
    std::shared_ptr<SystemAppCatalogProvider> provider_;
    InstalledAppScanner scanner_;
    WindowDirectory windows_;
};

}  // namespace Apps
