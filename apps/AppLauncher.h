#pragma once
// Opening an application for the phone: a running one is brought to the front, one that is not
// running is started from its desktop entry. The outcome is one OpenAppResult per request, carrying
// the bundle id exactly as the phone sent it.
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "apps/AppCatalogTypes.h"
#include "protocol/messages/Message.h"

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

// Keeps a phone from starting programs without bound: an application started from its entry is not
// started again while that start is in flight (until it runs, its start failed, or `settleSeconds`
// passed: a program without a window never shows as running), and at most `startsPerSecond` starts
// are made in any second. Activating a running application is not limited.
//
// Thread: any; the lock only guards the bookkeeping.
class LaunchLimiter {
  public:
    struct Limits {
        double settleSeconds = 10.0;
        std::size_t startsPerSecond = 3;
    };
    using Clock = std::function<double()>;  // seconds, monotonic

    LaunchLimiter();
    // Without a clock, the steady clock.
    LaunchLimiter(Limits limits, Clock clock);

    // True, and the start recorded, when `key` may be started now.
    bool admit(const std::string& key);
    // The start of `key` failed, or the application is seen running: it is no longer in flight.
    void release(const std::string& key);

  private:
    Limits limits_;
    Clock clock_;
    std::mutex mutex_;
    std::map<std::string, double> inFlight_;
    std::deque<double> recentStarts_;
};

class AppLauncher {
  public:
    using Completion = std::function<void(TrackpadProtocol::OpenAppResult)>;

    explicit AppLauncher(std::shared_ptr<AppLaunchSystem> system,
                         std::shared_ptr<LaunchLimiter> limiter = std::make_shared<LaunchLimiter>())
        : system_(std::move(system)), limiter_(std::move(limiter)) {}

    // Runs on the caller's thread (the system calls block), and calls the completion exactly once: a
    // system that drops its completion without calling it counts as a failure.
    void open(const std::string& bundleID, Completion completion) const;
    // openAppResult for openApp; none (at once) for any other message.
    void response(const TrackpadProtocol::Message& message,
                  std::function<void(std::optional<TrackpadProtocol::Message>)> completion) const;

  private:
    std::shared_ptr<AppLaunchSystem> system_;
    // Shared by the launcher's copies.
    std::shared_ptr<LaunchLimiter> limiter_;
};

}  // namespace Apps
