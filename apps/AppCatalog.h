#pragma once
// The computer's catalogue of applications as the phone sees it: the running and installed lists as
// wire records, icons as PNG, ready-made answers to the phone's app requests, and reports of changes
// to the running list.
//
// Threads: construction, start() and stop() on the main queue; answer() and what it calls on the
// app-answers queue; provider events on the provider's queue, which is where onChange runs. One mutex
// guards the state; it is never held while calling the provider, building a list, rendering an icon
// or calling onChange.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "apps/AppCatalogTypes.h"
#include "apps/AppIconScaler.h"
#include "protocol/messages/Message.h"

namespace Apps {

class AppCatalog : public std::enable_shared_from_this<AppCatalog> {
  public:
    using MacApp = TrackpadProtocol::MacApp;
    using OnChange = std::function<void(const AppCatalogUpdate&)>;

    static constexpr std::size_t answerBudget = 65535;
    static constexpr std::size_t maxBundleIDBytes = 255;
    static constexpr std::size_t iconCacheLimit = 128;

    struct IconKey {
        std::string bundleID;  // lowercased
        int pixelSize = 0;
        bool operator==(const IconKey&) const = default;
    };

    // Handlers given to the provider hold the catalog weakly, so it is always made shared.
    static std::shared_ptr<AppCatalog> make(std::shared_ptr<AppCatalogProvider> provider,
                                            const std::vector<std::string>& excludedBundleIDs,
                                            std::optional<std::int32_t> excludedProcessID,
                                            AppIconScaler iconScaler, OnChange onChange);

    void start();
    void stop();

    std::vector<MacApp> runningApps();
    std::vector<MacApp> installedApps();
    std::vector<MacApp> apps(TrackpadProtocol::AppListKind kind);
    TrackpadProtocol::AppIcon icon(const std::string& bundleID, std::uint16_t pixelSize);
    // The replies to an app-list or app-icon request; none for any other message.
    std::optional<std::vector<TrackpadProtocol::Message>> answer(const TrackpadProtocol::Message& message);

    // The list-building rules, public for the provider-free tests and benchmarks.
    std::vector<MacApp> runningList(const std::vector<RunningAppInfo>& records) const;
    std::vector<MacApp> installedList(const std::vector<InstalledAppInfo>& records) const;

    AppCatalog(std::shared_ptr<AppCatalogProvider> provider,
               const std::vector<std::string>& excludedBundleIDs,
               std::optional<std::int32_t> excludedProcessID, AppIconScaler iconScaler, OnChange onChange);

  private:
    struct IconKeyHash {
        std::size_t operator()(const IconKey& key) const;
    };
    struct State {
        std::int64_t generation = 0;
        bool isRunning = false;
        std::optional<std::vector<MacApp>> running;
        std::optional<std::vector<MacApp>> installed;
        std::int64_t installedEpoch = 0;
        std::unordered_map<IconKey, std::optional<std::vector<std::uint8_t>>, IconKeyHash> icons;
    };

    static void handleEvent(const std::weak_ptr<AppCatalog>& weak, std::int64_t startGeneration,
                            AppCatalogEvent event);
    void runningChanged(std::int64_t startGeneration);
    void installedChanged(std::int64_t startGeneration);
    bool isLive(std::int64_t startGeneration) const;  // with mutex_ held

    const std::shared_ptr<AppCatalogProvider> provider_;
    const std::unordered_set<std::string> excludedBundleIDs_;
    const std::optional<std::int32_t> excludedProcessID_;
    const AppIconScaler iconScaler_;
    const OnChange onChange_;
    mutable std::mutex mutex_;
    State state_;
};

}  // namespace Apps
