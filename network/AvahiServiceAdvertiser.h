#pragma once
// The advertisement through the Avahi daemon (libavahi-client over the system D-Bus), run on the main
// EventLoop. Lives on the loop's thread: construct, call and destroy it there.
//
// Without a daemon (none installed, not running, or no system bus) advertise() reports Unavailable and
// keeps waiting: the client notices a daemon that starts later by itself, and a lost bus connection is
// retried after a delay that doubles up to a limit. A name taken on the network is replaced by Avahi's
// alternative ("Name #2", ...), reported as Advertising with the new name.
#include <chrono>
#include <memory>

#include "network/ServiceAdvertiser.h"
#include "platform/EventLoop.h"

namespace CompanionNetwork {

class AvahiServiceAdvertiser final : public ServiceAdvertiser {
public:
    struct Options {
        std::chrono::milliseconds firstRetryDelay{1000};
        std::chrono::milliseconds maxRetryDelay{30000};
    };

    explicit AvahiServiceAdvertiser(platform::EventLoop& loop);
    AvahiServiceAdvertiser(platform::EventLoop& loop, Options options);
    ~AvahiServiceAdvertiser() override;

    void setStateHandler(StateHandler handler) override;
    void advertise(ServiceAdvertisement advertisement) override;
    void withdraw() override;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace CompanionNetwork
