#include "apps/AppLauncher.h"

#include <atomic>
#include <chrono>

namespace Apps {

using TrackpadProtocol::Message;
using TrackpadProtocol::OpenAppResult;

namespace {

// Hands the system a completion that reports once; if the system lets every copy go without calling
// it, the request still ends, as a failure.
class OnceResult {
  public:
    OnceResult(std::string bundleID, AppLauncher::Completion completion)
        : bundleID_(std::move(bundleID)), completion_(std::move(completion)) {}
    ~OnceResult() { report(OpenAppResult::Status::failed); }

    void report(OpenAppResult::Status status) {
        if (!reported_.exchange(true) && completion_) {
            completion_(OpenAppResult{bundleID_, status});
        }
    }

  private:
    std::string bundleID_;
    AppLauncher::Completion completion_;
    std::atomic<bool> reported_{false};
};

}  // namespace

LaunchLimiter::LaunchLimiter() : LaunchLimiter(Limits{}, {}) {}

LaunchLimiter::LaunchLimiter(Limits limits, Clock clock) : limits_(limits), clock_(std::move(clock)) {
    if (!clock_) {
        clock_ = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    }
}

bool LaunchLimiter::admit(const std::string& key) {
    const double now = clock_();
    std::lock_guard lock(mutex_);
    std::erase_if(inFlight_, [&](const auto& entry) { return now - entry.second >= limits_.settleSeconds; });
    while (!recentStarts_.empty() && now - recentStarts_.front() >= 1.0) {
        recentStarts_.pop_front();
    }
    if (inFlight_.contains(key) || recentStarts_.size() >= limits_.startsPerSecond) {
        return false;
    }
    inFlight_.emplace(key, now);
    recentStarts_.push_back(now);
    return true;
}

void LaunchLimiter::release(const std::string& key) {
    std::lock_guard lock(mutex_);
    inFlight_.erase(key);
}

void AppLauncher::open(const std::string& bundleID, Completion completion) const {
    auto result = std::make_shared<OnceResult>(bundleID, std::move(completion));
    const std::string id = trimmedText(bundleID);
    if (id.empty() || !system_) {
        result->report(OpenAppResult::Status::notInstalled);
        return;
    }
    const std::vector<RunningAppInfo> running = system_->runningApplications(id);
    const RunningAppInfo* chosen = nullptr;
    for (const RunningAppInfo& app : running) {
        if (app.activationPolicy == RunningAppInfo::ActivationPolicy::regular) {
            chosen = &app;
            break;
        }
    }
    if (chosen == nullptr && !running.empty()) {
        chosen = &running.front();
    }
    const auto finish = [result](bool ok) {
        result->report(ok ? OpenAppResult::Status::opened : OpenAppResult::Status::failed);
    };
    const std::string key = lowercasedText(id);
    if (chosen != nullptr) {
        if (limiter_) {
            limiter_->release(key);
        }
        system_->activate(*chosen, finish);
        return;
    }
    std::optional<std::filesystem::path> url = system_->applicationURL(id);
    if (!url) {
        result->report(OpenAppResult::Status::notInstalled);
        return;
    }
    if (limiter_ && !limiter_->admit(key)) {
        result->report(OpenAppResult::Status::failed);
        return;
    }
    system_->open(*url, [result, limiter = limiter_, key](bool ok) {
        if (!ok && limiter) {
            limiter->release(key);
        }
        result->report(ok ? OpenAppResult::Status::opened : OpenAppResult::Status::failed);
    });
}

void AppLauncher::response(const Message& message,
                           std::function<void(std::optional<Message>)> completion) const {
    const auto* request = message.as<Message::OpenApp>();
    if (request == nullptr) {
        completion(std::nullopt);
        return;
    }
    open(request->bundleID, [completion](OpenAppResult result) {
        completion(Message{Message::OpenAppResult{std::move(result)}});
    });
}

}  // namespace Apps
