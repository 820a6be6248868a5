#pragma once
// Avahi's main-loop abstraction (AvahiPoll) over the main EventLoop, so the Avahi client and its D-Bus
// connection run on the main thread with everything else. Loop thread only. Free every Avahi object
// made with api() (the client, and through it its watches and timeouts) before this is destroyed.
#include <avahi-common/watch.h>

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/EventLoop.h"

namespace CompanionNetwork {

class AvahiEventLoopPoll {
public:
    explicit AvahiEventLoopPoll(platform::EventLoop& loop);
    ~AvahiEventLoopPoll();
    AvahiEventLoopPoll(const AvahiEventLoopPoll&) = delete;
    AvahiEventLoopPoll& operator=(const AvahiEventLoopPoll&) = delete;

    const AvahiPoll* api() const { return &api_; }

    // Avahi objects still alive (for tests: a freed client leaves none behind).
    std::size_t watchCount() const { return watches_.size(); }
    std::size_t timeoutCount() const { return timeouts_.size(); }

private:
    // libdbus asks for one watch to read and another to write on the same descriptor, while the loop
    // takes one watch per descriptor: a Descriptor is the loop's watch shared by Avahi's watches of it.
    struct Descriptor {
        platform::EventLoop::WatchID loopWatch = 0;
        std::vector<std::uint64_t> watches;
    };

    static AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent event, AvahiWatchCallback callback,
                                void* userdata);
    static void watchUpdate(AvahiWatch* watch, AvahiWatchEvent event);
    static AvahiWatchEvent watchGetEvents(AvahiWatch* watch);
    static void watchFree(AvahiWatch* watch);
    static AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv, AvahiTimeoutCallback callback,
                                    void* userdata);
    static void timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv);
    static void timeoutFree(AvahiTimeout* timeout);

    void refreshDescriptor(int fd);
    void dispatch(int fd, std::uint32_t events);
    void arm(AvahiTimeout* timeout, const struct timeval* tv);
    void fire(std::uint64_t timeoutID);

    platform::EventLoop& loop_;
    AvahiPoll api_{};
    std::uint64_t nextID_ = 1;
    std::map<std::uint64_t, std::unique_ptr<AvahiWatch>> watches_;
    std::unordered_map<int, Descriptor> descriptors_;
    std::map<std::uint64_t, std::unique_ptr<AvahiTimeout>> timeouts_;
};

}  // namespace CompanionNetwork
