#include "apps/ShellAppServices.h"

#include "apps/SystemAppLaunchSystem.h"

namespace Apps {

CatalogService::CatalogService(std::shared_ptr<AppCatalogProvider> provider, Options options) {
    Shell::AppCatalogService::ChangeHandler onChange = std::move(options.onChange);
    catalog_ = AppCatalog::make(
        std::move(provider),
        std::vector<std::string>(options.excludedBundleIDs.begin(), options.excludedBundleIDs.end()),
        options.excludedProcessID,
        AppIconScaler(static_cast<long long>(
            std::min<std::size_t>(options.iconByteBudget, AppIconScaler::largestByteCount))),
        [onChange](const AppCatalogUpdate& update) {
            if (!onChange) {
                return;
            }
            if (const auto* running = std::get_if<AppCatalogUpdate::Running>(&update.value)) {
                onChange(Shell::AppCatalogUpdate{TrackpadProtocol::AppListKind::running, running->apps});
            } else {
                onChange(Shell::AppCatalogUpdate{TrackpadProtocol::AppListKind::installed,
                                                 std::get<AppCatalogUpdate::Installed>(update.value).apps});
            }
        });
}

LaunchService::LaunchService(std::shared_ptr<AppLaunchSystem> system,
                             std::shared_ptr<SystemAppCatalogProvider> provider)
    : launcher_(std::move(system)),
      provider_(std::move(provider)),
      queue_(std::make_shared<platform::DispatchQueue>("dev.quelmar.trackpad.mac.apps.launch")) {}

void LaunchService::open(const std::string& bundleID, Completion done) {
    queue_->async(
        [launcher = launcher_, bundleID, done = std::move(done)] { launcher.open(bundleID, done); });
}

std::optional<std::string> LaunchService::runningName(const std::string& bundleID) {
    const std::string key = lowercasedText(trimmedText(bundleID));
    if (!provider_ || key.empty()) {
        return std::nullopt;
    }
    for (const RunningApp& app : provider_->runningAppsWithWindows()) {
        if (app.info.bundleID && lowercasedText(*app.info.bundleID) == key) {
            return trimmedText(app.info.name.value_or(""));
        }
    }
    return std::nullopt;
}

std::optional<std::string> LaunchService::installedName(const std::string& bundleID) {
    if (!provider_) {
        return std::nullopt;
    }
    std::optional<InstalledAppScanner::Record> record = provider_->entry(trimmedText(bundleID));
    if (!record) {
        return std::nullopt;
    }
    std::string name = trimmedText(record->entry.name);
    return name.empty() ? record->path.stem().string() : name;
}

ShellAppServices makeShellAppServices() {
    const InstalledAppScanner scanner;
    auto provider = std::make_shared<SystemAppCatalogProvider>(scanner, 1.0, 10.0);
    ShellAppServices services;
    services.makeAppCatalog = [provider](Shell::AppCatalogService::Options options) {
        return std::make_shared<CatalogService>(provider, std::move(options));
    };
    services.appLauncher =
        std::make_shared<LaunchService>(std::make_shared<SystemAppLaunchSystem>(provider, scanner), provider);
    return services;
}

}  // namespace Apps
