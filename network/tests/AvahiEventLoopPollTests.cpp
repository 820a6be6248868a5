#include "network/AvahiEventLoopPoll.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace CompanionNetwork {
namespace {

using namespace std::chrono_literals;

struct Pipe {
    Pipe() {
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
    }
    ~Pipe() {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    void put() { ASSERT_EQ(::write(fds[1], "x", 1), 1); }
    int fds[2];
};

// Runs the loop until `done` holds, for at most two seconds.
template <typename Done>
bool runUntil(platform::EventLoop& loop, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        loop.runFor(0.01);
    }
    return true;
}

struct timeval inFromNow(std::chrono::microseconds delay) {
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    const long long micros = now.tv_usec + delay.count();
    now.tv_sec += static_cast<time_t>(micros / 1'000'000);
    now.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
    return now;
}

struct Calls {
    std::vector<std::string> log;
    const AvahiPoll* api = nullptr;
    AvahiWatch* other = nullptr;  // freed by the first callback when set
};

void record(AvahiWatch* watch, int, AvahiWatchEvent event, void* userdata, const char* name) {
    auto* calls = static_cast<Calls*>(userdata);
    // The events reported through watch_get_events are those of the running callback.
    EXPECT_EQ(calls->api->watch_get_events(watch), event);
    calls->log.push_back(std::string(name) + (event & AVAHI_WATCH_IN ? " in" : "") +
                         (event & AVAHI_WATCH_OUT ? " out" : ""));
}

TEST(AvahiEventLoopPoll, ReadAndWriteWatchesShareOneDescriptor) {
    platform::EventLoop loop;
    AvahiEventLoopPoll poll(loop);
    const AvahiPoll* api = poll.api();
    Calls calls;
    calls.api = api;
    int sockets[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets), 0);
    // A read and a write watch of one socket, as libdbus makes them; the loop allows one watch per
    // descriptor, so the two must share it.
    AvahiWatch* reader = api->watch_new(
        api, sockets[0], AVAHI_WATCH_IN,
        [](AvahiWatch* w, int fd, AvahiWatchEvent e, void* u) {
            char byte;
            while (::read(fd, &byte, 1) > 0) {
            }
            record(w, fd, e, u, "reader");
        },
        &calls);
    AvahiWatch* writer = api->watch_new(
        api, sockets[0], AVAHI_WATCH_OUT,
        [](AvahiWatch* w, int fd, AvahiWatchEvent e, void* u) {
            record(w, fd, e, u, "writer");
            static_cast<Calls*>(u)->api->watch_update(w, AvahiWatchEvent{});  // done writing
        },
        &calls);
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(poll.watchCount(), 2u);

    ASSERT_TRUE(runUntil(loop, [&] { return !calls.log.empty(); }));
    loop.runFor(0.01);
    EXPECT_EQ(calls.log, std::vector<std::string>{"writer out"});

    calls.log.clear();
    ASSERT_EQ(::write(sockets[1], "x", 1), 1);
    ASSERT_TRUE(runUntil(loop, [&] { return !calls.log.empty(); }));
    EXPECT_EQ(calls.log, std::vector<std::string>{"reader in"});

    // Both directions at once reach each watch with its own event only.
    calls.log.clear();
    ASSERT_EQ(::write(sockets[1], "y", 1), 1);
    api->watch_update(writer, AVAHI_WATCH_OUT);
    ASSERT_TRUE(runUntil(loop, [&] { return calls.log.size() >= 2; }));
    EXPECT_EQ(calls.log, (std::vector<std::string>{"reader in", "writer out"}));

    api->watch_free(reader);
    api->watch_free(writer);
    EXPECT_EQ(poll.watchCount(), 0u);
    // The loop's watch went with the last Avahi watch, so the descriptor can be watched anew.
    EXPECT_NO_THROW(loop.removeWatch(loop.watch(sockets[0], platform::EventLoop::readable, [](std::uint32_t) {})));
    ::close(sockets[0]);
    ::close(sockets[1]);
}

TEST(AvahiEventLoopPoll, AWatchFreedByAnEarlierCallbackIsNotCalled) {
    platform::EventLoop loop;
    AvahiEventLoopPoll poll(loop);
    const AvahiPoll* api = poll.api();
    Calls calls;
    calls.api = api;
    Pipe pipe;
    api->watch_new(
        api, pipe.fds[0], AVAHI_WATCH_IN,
        [](AvahiWatch* self, int, AvahiWatchEvent, void* u) {
            auto* calls = static_cast<Calls*>(u);
            calls->log.push_back("first");
            calls->api->watch_free(calls->other);
            calls->api->watch_free(self);
        },
        &calls);
    calls.other = api->watch_new(
        api, pipe.fds[0], AVAHI_WATCH_IN,
        [](AvahiWatch*, int, AvahiWatchEvent, void* u) { static_cast<Calls*>(u)->log.push_back("second"); }, &calls);
    pipe.put();
    ASSERT_TRUE(runUntil(loop, [&] { return !calls.log.empty(); }));
    loop.runFor(0.02);
    EXPECT_EQ(calls.log, std::vector<std::string>{"first"});
    EXPECT_EQ(poll.watchCount(), 0u);
}

struct TimeoutCalls {
    const AvahiPoll* api = nullptr;
    int fired = 0;
    bool rearm = false;
};

TEST(AvahiEventLoopPoll, TimeoutsFireOncePerArmingAndCanBeDisabledOrFreed) {
    platform::EventLoop loop;
    AvahiEventLoopPoll poll(loop);
    const AvahiPoll* api = poll.api();
    TimeoutCalls calls{.api = api, .rearm = true};
    const auto callback = [](AvahiTimeout* timeout, void* u) {
        auto* calls = static_cast<TimeoutCalls*>(u);
        ++calls->fired;
        if (calls->rearm) {
            calls->rearm = false;
            const struct timeval soon = inFromNow(1ms);
            calls->api->timeout_update(timeout, &soon);
        }
    };
    const struct timeval soon = inFromNow(1ms);
    AvahiTimeout* timeout = api->timeout_new(api, &soon, callback, &calls);
    ASSERT_TRUE(runUntil(loop, [&] { return calls.fired == 2; }));
    loop.runFor(0.02);
    EXPECT_EQ(calls.fired, 2) << "fired again without being re-armed";

    // Disabled (a null time), then freed while armed: neither fires.
    const struct timeval later = inFromNow(5ms);
    api->timeout_update(timeout, &later);
    api->timeout_update(timeout, nullptr);
    TimeoutCalls other{.api = api};
    AvahiTimeout* freed = api->timeout_new(api, &later, callback, &other);
    api->timeout_free(freed);
    loop.runFor(0.03);
    EXPECT_EQ(calls.fired, 2);
    EXPECT_EQ(other.fired, 0);
    EXPECT_EQ(poll.timeoutCount(), 1u);
    api->timeout_free(timeout);
    EXPECT_EQ(poll.timeoutCount(), 0u);
}

TEST(AvahiEventLoopPoll, ADeadlineInThePastFiresAtOnce) {
    platform::EventLoop loop;
    AvahiEventLoopPoll poll(loop);
    const AvahiPoll* api = poll.api();
    TimeoutCalls calls;
    calls.api = api;
    struct timeval past;
    ::gettimeofday(&past, nullptr);
    past.tv_sec -= 10;
    AvahiTimeout* timeout = api->timeout_new(
        api, &past, [](AvahiTimeout*, void* u) { ++static_cast<TimeoutCalls*>(u)->fired; }, &calls);
    ASSERT_TRUE(runUntil(loop, [&] { return calls.fired == 1; }));
    api->timeout_free(timeout);
}

}  // namespace
}  // namespace CompanionNetwork
