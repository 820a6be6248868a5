#pragma once
// Advertisers without a DNS-SD daemon. Both live on the executor's thread and report through
// Executor::post, as the real one reports from its own callbacks.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "network/ServiceAdvertiser.h"
#include "platform/Executor.h"

namespace CompanionNetwork {

// Records what it is asked to advertise, and reports Advertising (with the registered name) unless a
// test made it unavailable or injects states of its own.
class InMemoryServiceAdvertiser final : public ServiceAdvertiser {
public:
    explicit InMemoryServiceAdvertiser(platform::Executor& executor);
    ~InMemoryServiceAdvertiser() override;

    void setStateHandler(StateHandler handler) override;
    void advertise(ServiceAdvertisement advertisement) override;
    void withdraw() override;

    // What is advertised now (instance name already cut as the real advertiser cuts it).
    const std::optional<ServiceAdvertisement>& current() const { return current_; }
    // Every advertise() so far, in order, as given.
    const std::vector<ServiceAdvertisement>& history() const { return history_; }
    int withdrawCount() const { return withdrawCount_; }

    // While a reason is set, advertise() reports Unavailable with it instead of Advertising.
    void setUnavailable(std::optional<std::string> reason) { unavailableReason_ = std::move(reason); }
    // Reports `state` as if the daemon had changed it (a rename, the daemon leaving); ignored while
    // nothing is advertised.
    void report(State state);

private:
    void post(State state);

    platform::Executor& executor_;
    StateHandler handler_;
    std::optional<ServiceAdvertisement> current_;
    std::vector<ServiceAdvertisement> history_;
    std::optional<std::string> unavailableReason_;
    int withdrawCount_ = 0;
    // Reports already posted belong to the advertisement they were made for: a withdraw() or a new
    // advertise() moves this on, and a report of an older generation is dropped.
    std::shared_ptr<std::uint64_t> generation_ = std::make_shared<std::uint64_t>(0);
};

// For a system without a DNS-SD daemon: every advertise() reports Unavailable with the given reason.
class AbsentServiceAdvertiser final : public ServiceAdvertiser {
public:
    AbsentServiceAdvertiser(platform::Executor& executor, std::string reason);
    ~AbsentServiceAdvertiser() override;

    void setStateHandler(StateHandler handler) override;
    void advertise(ServiceAdvertisement advertisement) override;
    void withdraw() override;

private:
    InMemoryServiceAdvertiser inner_;
};

}  // namespace CompanionNetwork
