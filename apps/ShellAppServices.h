#pragma once
// The app catalog and the launcher as the application shell's services: the catalog over the system
// provider (the desktop-entry scanner, 1.0 s debounce, 10.0 s settle) and the launcher over the
// system launch seam, both sharing one provider.
#include <memory>

#include "apps/AppCatalog.h"
#include "apps/AppLauncher.h"
#include "apps/SystemAppCatalogProvider.h"
#include "platform/DispatchQueue.h"
#include "services/AppServices.h"
#include "services/CompanionServices.h"

namespace Apps {

class CatalogService final : public Shell::AppCatalogService {
  public:
    CatalogService(std::shared_ptr<AppCatalogProvider> provider, Options options);

    void start() override { catalog_->start(); }
    void stop() override { catalog_->stop(); }
    // In the order the window manager lists the applications (not sorted).
    std::vector<TrackpadProtocol::MacApp> runningApps() override { return catalog_->runningApps(); }
    std::optional<std::vector<TrackpadProtocol::Message>> answer(
        const TrackpadProtocol::Message& message) override {
        return catalog_->answer(message);
    }

  private:
    std::shared_ptr<AppCatalog> catalog_;
};

class LaunchService final : public Shell::AppLaunchService {
  public:
    // The provider answers the name questions; the launcher's work runs on a queue of its own, since
    // looking entries up, waiting for the window manager and starting programs block.
    LaunchService(std::shared_ptr<AppLaunchSystem> system,
                  std::shared_ptr<SystemAppCatalogProvider> provider);

    // The result echoes the id as the phone sent it, untrimmed.
    void open(const std::string& bundleID, Completion done) override;
    std::optional<std::string> runningName(const std::string& bundleID) override;
    std::optional<std::string> installedName(const std::string& bundleID) override;

  private:
    AppLauncher launcher_;
    std::shared_ptr<SystemAppCatalogProvider> provider_;
    std::shared_ptr<platform::DispatchQueue> queue_;
};

struct ShellAppServices {
    Shell::CompanionServices::AppCatalogFactory makeAppCatalog;
    std::shared_ptr<Shell::AppLaunchService> appLauncher;
};

// The system's services on $DISPLAY and the XDG folders.
ShellAppServices makeShellAppServices();

}  // namespace Apps
