#pragma once
// The listener's budget for log lines that phones can cause. Each remote host has a budget of its own
// that outlives its connections, so that reconnecting buys no new lines; every line also spends from
// one budget for the whole listener, so that many hosts together cannot flood the log either. What is
// held back is told in one line per listener window, naming the host that lost the most. Lives on the
// listener's queue.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/NoticeBudget.h"

namespace CompanionNetwork {

class ConnectionNotices {
  public:
    static constexpr int hostBurst = 5;
    static constexpr double hostWindow = 60;
    static constexpr int listenerBurst = 20;
    static constexpr double listenerWindow = 10;
    // Hosts whose budgets are remembered; beyond that, a new host spends from the listener's alone.
    static constexpr std::size_t maxHosts = 256;

    struct Decision {
        bool log = false;
        // What was held back in the listener window that just ended, to be logged first.
        std::optional<std::string> summary;
    };

    // A line about `host` (empty: about no host in particular) at `now` (seconds, never going back).
    Decision take(const std::string& host, double now);
    // The summary of what was held back, once the window it was held back in has ended by `now`.
    std::optional<std::string> flush(double now);
    // Seconds from `now` until flush() has something to tell; none while nothing is held back.
    std::optional<double> untilFlush(double now) const;

  private:
    struct Host {
        platform::NoticeBudget budget{hostBurst, hostWindow};
        double lastLine = 0;
    };
    Host* hostBudget(const std::string& host, double now);
    std::optional<std::string> summarize();

    std::unordered_map<std::string, Host> hosts_;
    double windowStart_ = -1e300;
    int used_ = 0;
    std::uint64_t heldBack_ = 0;
    std::unordered_map<std::string, std::uint64_t> heldBackByHost_;
};

}  // namespace CompanionNetwork
