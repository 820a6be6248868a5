#pragma once
// The path monitor of the process: rtnetlink notifications of links and IPv4/IPv6 addresses, watched on
// the main EventLoop. Each burst of notifications leads to a fresh dump of the kernel's tables, so a lost
// notification (a full socket buffer) costs nothing. Lives on the loop's thread.
#include <optional>

#include "network/PathMonitor.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace CompanionNetwork {

class NetlinkPathMonitor final : public PathMonitor {
public:
    explicit NetlinkPathMonitor(platform::EventLoop& loop);
    ~NetlinkPathMonitor() override;
    NetlinkPathMonitor(const NetlinkPathMonitor&) = delete;
    NetlinkPathMonitor& operator=(const NetlinkPathMonitor&) = delete;

    // Throws std::system_error when the kernel's notifications cannot be subscribed to.
    void start(UpdateHandler handler) override;
    void cancel() override;

private:
    void onReadable();
    void evaluate();

    platform::EventLoop& loop_;
    UpdateHandler handler_;
    int socket_ = -1;
    platform::EventLoop::WatchID watch_ = 0;
    std::optional<PathStatus> last_;
    // Moves on with each start() and cancel(); a report of an older generation is dropped.
    std::shared_ptr<std::uint64_t> generation_ = std::make_shared<std::uint64_t>(0);
    platform::Logger log_{"dev.quelmar.trackpad.mac", "path"};
};

}  // namespace CompanionNetwork
