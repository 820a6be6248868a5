#include "network/ConnectionNotices.h"

#include <algorithm>

namespace CompanionNetwork {

ConnectionNotices::Host* ConnectionNotices::hostBudget(const std::string& host, double now) {
    if (const auto found = hosts_.find(host); found != hosts_.end()) {
        return &found->second;
    }
    if (hosts_.size() >= maxHosts) {
        // A host silent for a whole window has nothing left in its budget to remember.
        std::erase_if(hosts_, [&](const auto& entry) { return !(now - entry.second.lastLine < hostWindow); });
        if (hosts_.size() >= maxHosts) {
            return nullptr;
        }
    }
    return &hosts_[host];
}

ConnectionNotices::Decision ConnectionNotices::take(const std::string& host, double now) {
    Decision decision;
    if (!(now - windowStart_ < listenerWindow) || now < windowStart_) {
        decision.summary = summarize();
        windowStart_ = now;
        used_ = 0;
    }
    bool hostAllows = true;
    if (!host.empty()) {
        if (Host* budget = hostBudget(host, now)) {
            budget->lastLine = now;
            hostAllows = budget->budget.take(now).log;
        }
    }
    if (hostAllows && used_ < listenerBurst) {
        ++used_;
        decision.log = true;
        return decision;
    }
    ++heldBack_;
    if (!host.empty() && (heldBackByHost_.size() < maxHosts || heldBackByHost_.contains(host))) {
        ++heldBackByHost_[host];
    }
    return decision;
}

std::optional<std::string> ConnectionNotices::flush(double now) {
    if (heldBack_ == 0 || (now - windowStart_ < listenerWindow && now >= windowStart_)) {
        return std::nullopt;
    }
    return summarize();
}

std::optional<double> ConnectionNotices::untilFlush(double now) const {
    if (heldBack_ == 0) {
        return std::nullopt;
    }
    return std::max(0.0, windowStart_ + listenerWindow - now);
}

std::optional<std::string> ConnectionNotices::summarize() {
    if (heldBack_ == 0) {
        return std::nullopt;
    }
    std::string line = std::to_string(heldBack_) + " more lines about connections were not logged in " +
                       std::to_string(static_cast<int>(listenerWindow)) + " s";
    const auto most = std::max_element(heldBackByHost_.begin(), heldBackByHost_.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
    if (most != heldBackByHost_.end()) {
        line += " (" + std::to_string(most->second) + " of them about " + most->first + ")";
    }
    heldBack_ = 0;
    heldBackByHost_.clear();
    return line;
}

}  // namespace CompanionNetwork
