#include "apps/ShellAppServices.h"

#include <gtest/gtest.h>

#include <future>

#include "apps/tests/FakeAppProvider.h"

namespace Apps {
namespace {

using testing::FakeAppProvider;
using testing::runningApp;
using TrackpadProtocol::AppListKind;
using TrackpadProtocol::OpenAppResult;

TEST(CatalogService, BuildsTheCatalogFromTheShellsOptionsAndForwardsItsUpdates) {
    auto provider = std::make_shared<FakeAppProvider>();
    std::vector<Shell::AppCatalogUpdate> updates;
    Shell::AppCatalogService::Options options;
    options.excludedBundleIDs = {"Dev.Quelmar.Trackpad.Mac"};
    options.excludedProcessID = 7;
    options.iconByteBudget = 1'000'000;
    options.onChange = [&](Shell::AppCatalogUpdate update) { updates.push_back(std::move(update)); };
    CatalogService service(provider, options);
    provider->running = {runningApp("dev.quelmar.trackpad.mac", "Us"), runningApp("b", "B", false, false, 7),
                         runningApp("c", "C")};
    service.start();
    EXPECT_EQ(service.runningApps().size(), 1u);
    provider->running.push_back(runningApp("d", "D"));
    provider->emit(AppCatalogEvent::runningAppsChanged);
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].kind, AppListKind::running);
    EXPECT_EQ(updates[0].apps.size(), 2u);
    service.stop();
    EXPECT_EQ(provider->stops, 1);
}

class ImmediateSystem final : public AppLaunchSystem {
  public:
    std::vector<RunningAppInfo> runningApplications(const std::string&) override { return {}; }
    std::optional<std::filesystem::path> applicationURL(const std::string&) override { return "/x.desktop"; }
    void activate(const RunningAppInfo&, Completion completion) override { completion(true); }
    void open(const std::filesystem::path&, Completion completion) override {
        thread = std::this_thread::get_id();
        completion(true);
    }
    std::thread::id thread;
};

TEST(LaunchService, OpensOffTheCallersThreadWithOneResult) {
    auto system = std::make_shared<ImmediateSystem>();
    LaunchService service(system, nullptr);
    std::promise<OpenAppResult> result;
    service.open(" a ", [&](OpenAppResult r) { result.set_value(std::move(r)); });
    EXPECT_EQ(result.get_future().get(), (OpenAppResult{" a ", OpenAppResult::Status::opened}));
    EXPECT_NE(system->thread, std::this_thread::get_id());
    EXPECT_FALSE(service.runningName("a"));
    EXPECT_FALSE(service.installedName("a"));
}

}  // namespace
}  // namespace Apps
