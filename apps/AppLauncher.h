#pragma once
// Opening an application for the phone: a running one is brought to the front, one that is not
// running is started from its desktop entry. The outcome is one OpenAppResult per request, carrying
// the bundle id exactly as the phone sent it.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "TrackpadProtocol/Message.h"
#include "apps/AppCatalogTypes.h"

namespace Apps {

// The seam to the system. activate and open call their completion exactly once, on any thread,
// possibly before they return.
class AppLaunchSystem {
  public:
    using Completion = std::function<void(bool)>;
    virtual ~AppLaunchSystem() = default;
    // Every running instance of the id, in the system's order.
    virtual std::vector<RunningAppInfo> runningApplications(const std::string& bundleID) = 0;
    // The desktop entry the system would start for the id; none when no application has it.
    virtual std::optional<std::filesystem::path> applicationURL(const std::string& bundleID) = 0;
    virtual void activate(const RunningAppInfo& app, Completion completion) = 0;
    virtual void open(const std::filesystem::path& url, Completion completion) = 0;
};

class AppLauncher {
  public:
    using Completion = std::function<void(TrackpadProtocol::OpenAppResult)>;

    explicit AppLauncher(std::shared_ptr<AppLaunchSystem> system) : system_(std::move(system)) {}

    // Runs on the caller's thread (the system calls block), and calls the completion exactly once: a
    // system that drops its completion without calling it counts as a failure.
    void open(const std::string& bundleID, Completion completion) const;
    // openAppResult for openApp; none (at once) for any other message.
    void response(const TrackpadProtocol::Message& message,
                  std::function<void(std::optional<TrackpadProtocol::Message>)> completion) const;

  private:
    std::shared_ptr<AppLaunchSystem> system_;
};

}  // namespace Apps
