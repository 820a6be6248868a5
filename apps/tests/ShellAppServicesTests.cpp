#include "apps/ShellAppServices.h"

#include <gtest/gtest.h>

#include <future>

namespace Apps {
namespace {

using TrackpadProtocol::OpenAppResult;

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
