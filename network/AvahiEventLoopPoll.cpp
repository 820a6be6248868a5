#include "network/AvahiEventLoopPoll.h"

#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <exception>

// Avahi declares these two types and leaves their contents to each AvahiPoll implementation.
struct AvahiWatch {
    CompanionNetwork::AvahiEventLoopPoll* owner;
    std::uint64_t id;
    int fd;
    AvahiWatchEvent events;
    AvahiWatchEvent firedEvents;  // what the running callback was called for; read by watch_get_events
    AvahiWatchCallback callback;
    void* userdata;
};

struct AvahiTimeout {
    CompanionNetwork::AvahiEventLoopPoll* owner;
    std::uint64_t id;
    platform::Executor::TimerID timer;  // 0 while disarmed
    AvahiTimeoutCallback callback;
    void* userdata;
};

namespace CompanionNetwork {
namespace {

std::uint32_t loopEvents(AvahiWatchEvent events) {
    std::uint32_t result = 0;
    if (events & AVAHI_WATCH_IN)
        result |= platform::EventLoop::readable;
    if (events & AVAHI_WATCH_OUT)
        result |= platform::EventLoop::writable;
    return result;
}

// Avahi's deadlines are absolute gettimeofday() times.
std::chrono::microseconds delayUntil(const struct timeval& deadline) {
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    const long long micros = (static_cast<long long>(deadline.tv_sec) - now.tv_sec) * 1'000'000LL +
                             (static_cast<long long>(deadline.tv_usec) - now.tv_usec);
    return std::chrono::microseconds{std::max(micros, 0LL)};
}

}  // namespace

AvahiEventLoopPoll::AvahiEventLoopPoll(platform::EventLoop& loop) : loop_(loop) {
    api_.userdata = this;
    api_.watch_new = &AvahiEventLoopPoll::watchNew;
    api_.watch_update = &AvahiEventLoopPoll::watchUpdate;
    api_.watch_get_events = &AvahiEventLoopPoll::watchGetEvents;
    api_.watch_free = &AvahiEventLoopPoll::watchFree;
    api_.timeout_new = &AvahiEventLoopPoll::timeoutNew;
    api_.timeout_update = &AvahiEventLoopPoll::timeoutUpdate;
    api_.timeout_free = &AvahiEventLoopPoll::timeoutFree;
}

AvahiEventLoopPoll::~AvahiEventLoopPoll() {
    // Only reached with objects left when a client was not freed first; at least leave the loop clean.
    for (const auto& [fd, descriptor] : descriptors_)
        loop_.removeWatch(descriptor.loopWatch);
    for (const auto& [id, timeout] : timeouts_)
        if (timeout->timer != 0)
            loop_.cancel(timeout->timer);
}

AvahiWatch* AvahiEventLoopPoll::watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent event,
                                         AvahiWatchCallback callback, void* userdata) {
    auto* self = static_cast<AvahiEventLoopPoll*>(api->userdata);
    const std::uint64_t id = self->nextID_++;
    auto descriptor = self->descriptors_.find(fd);
    if (descriptor == self->descriptors_.end()) {
        try {
            const auto loopWatch =
                self->loop_.watch(fd, 0, [self, fd](std::uint32_t events) { self->dispatch(fd, events); });
            descriptor = self->descriptors_.emplace(fd, Descriptor{loopWatch, {}}).first;
        } catch (const std::exception&) {
            return nullptr;  // Avahi treats a missing watch as an error of its own
        }
    }
    auto watch = std::make_unique<AvahiWatch>(AvahiWatch{self, id, fd, event, AvahiWatchEvent{}, callback, userdata});
    AvahiWatch* result = watch.get();
    self->watches_.emplace(id, std::move(watch));
    descriptor->second.watches.push_back(id);
    self->refreshDescriptor(fd);
    return result;
}

void AvahiEventLoopPoll::watchUpdate(AvahiWatch* watch, AvahiWatchEvent event) {
    watch->events = event;
    watch->owner->refreshDescriptor(watch->fd);
}

AvahiWatchEvent AvahiEventLoopPoll::watchGetEvents(AvahiWatch* watch) {
    return watch->firedEvents;
}

void AvahiEventLoopPoll::watchFree(AvahiWatch* watch) {
    AvahiEventLoopPoll* self = watch->owner;
    const int fd = watch->fd;
    const auto descriptor = self->descriptors_.find(fd);
    if (descriptor != self->descriptors_.end())
        std::erase(descriptor->second.watches, watch->id);
    self->watches_.erase(watch->id);
    self->refreshDescriptor(fd);
}

void AvahiEventLoopPoll::refreshDescriptor(int fd) {
    const auto descriptor = descriptors_.find(fd);
    if (descriptor == descriptors_.end())
        return;
    if (descriptor->second.watches.empty()) {
        loop_.removeWatch(descriptor->second.loopWatch);
        descriptors_.erase(descriptor);
        return;
    }
    std::uint32_t events = 0;
    for (const std::uint64_t id : descriptor->second.watches)
        events |= loopEvents(watches_.at(id)->events);
    try {
        loop_.updateWatch(descriptor->second.loopWatch, events);
    } catch (const std::exception&) {
        // epoll refuses only a descriptor that is already closed; its watches are about to be freed.
    }
}

void AvahiEventLoopPoll::dispatch(int fd, std::uint32_t events) {
    const auto descriptor = descriptors_.find(fd);
    if (descriptor == descriptors_.end())
        return;
    // A callback may free or add watches of this descriptor (or free the whole client): walk a copy of
    // the ids and look each one up again.
    const std::vector<std::uint64_t> ids = descriptor->second.watches;
    for (const std::uint64_t id : ids) {
        const auto found = watches_.find(id);
        if (found == watches_.end())
            continue;
        AvahiWatch* watch = found->second.get();
        int fired = 0;
        if ((events & platform::EventLoop::readable) && (watch->events & AVAHI_WATCH_IN))
            fired |= AVAHI_WATCH_IN;
        if ((events & platform::EventLoop::writable) && (watch->events & AVAHI_WATCH_OUT))
            fired |= AVAHI_WATCH_OUT;
        if (fired == 0)
            continue;
        watch->firedEvents = static_cast<AvahiWatchEvent>(fired);
        watch->callback(watch, fd, watch->firedEvents, watch->userdata);
        if (watches_.contains(id))
            watch->firedEvents = AvahiWatchEvent{};
    }
}

AvahiTimeout* AvahiEventLoopPoll::timeoutNew(const AvahiPoll* api, const struct timeval* tv,
                                             AvahiTimeoutCallback callback, void* userdata) {
    auto* self = static_cast<AvahiEventLoopPoll*>(api->userdata);
    const std::uint64_t id = self->nextID_++;
    auto timeout = std::make_unique<AvahiTimeout>(AvahiTimeout{self, id, 0, callback, userdata});
    AvahiTimeout* result = timeout.get();
    self->timeouts_.emplace(id, std::move(timeout));
    self->arm(result, tv);
    return result;
}

void AvahiEventLoopPoll::timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv) {
    timeout->owner->arm(timeout, tv);
}

void AvahiEventLoopPoll::timeoutFree(AvahiTimeout* timeout) {
    AvahiEventLoopPoll* self = timeout->owner;
    if (timeout->timer != 0)
        self->loop_.cancel(timeout->timer);
    self->timeouts_.erase(timeout->id);
}

void AvahiEventLoopPoll::arm(AvahiTimeout* timeout, const struct timeval* tv) {
    if (timeout->timer != 0)
        loop_.cancel(timeout->timer);
    timeout->timer = 0;
    if (tv == nullptr)
        return;  // disabled until the next update
    const std::uint64_t id = timeout->id;
    timeout->timer = loop_.schedule(delayUntil(*tv), [this, id] { fire(id); });
}

void AvahiEventLoopPoll::fire(std::uint64_t timeoutID) {
    const auto found = timeouts_.find(timeoutID);
    if (found == timeouts_.end())
        return;
    AvahiTimeout* timeout = found->second.get();
    // A timeout runs once per arming; the callback may arm it again or free it.
    timeout->timer = 0;
    timeout->callback(timeout, timeout->userdata);
}

}  // namespace CompanionNetwork
