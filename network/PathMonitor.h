#pragma once
// Whether the computer is on a network, as a seam: rtnetlink in the process (NetlinkPathMonitor), a
// manual one in tests. Every implementation lives on one executor's thread (the main EventLoop): call it
// there; its handler is called there, never from inside start() or cancel().
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Executor.h"

namespace CompanionNetwork {

struct PathStatus {
    // Some interface other than loopback is up, connected and has a usable address.
    bool satisfied = false;
    // Why not, when unsatisfied, in words for the user; empty when satisfied.
    std::string reason;
    friend bool operator==(const PathStatus&, const PathStatus&) = default;
};

class PathMonitor {
public:
    using UpdateHandler = std::function<void(const PathStatus&)>;

    virtual ~PathMonitor() = default;

    // Reports the current status soon after, then each change. A monitor can be started again after
    // cancel(); starting a started one replaces its handler.
    virtual void start(UpdateHandler handler) = 0;
    // Stops the reports, including ones already on their way.
    virtual void cancel() = 0;
};

// A monitor the test sets by hand.
class ManualPathMonitor final : public PathMonitor {
public:
    explicit ManualPathMonitor(platform::Executor& executor, PathStatus initial = PathStatus{true, {}});

    void start(UpdateHandler handler) override;
    void cancel() override;

    // Reports the new status when it differs from the last one, while started.
    void setStatus(PathStatus status);
    bool isStarted() const { return static_cast<bool>(handler_); }
    int startCount() const { return startCount_; }

private:
    void post(PathStatus status);

    platform::Executor& executor_;
    PathStatus status_;
    UpdateHandler handler_;
    int startCount_ = 0;
    // Moves on with each start() and cancel(); a report of an older generation is dropped.
    std::shared_ptr<std::uint64_t> generation_ = std::make_shared<std::uint64_t>(0);
};

}  // namespace CompanionNetwork
