// The rtnetlink path monitor against the real kernel, in a network namespace of its own (held by one
// thread of the test), where the test adds, connects and takes down a veth pair.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network/NetlinkPathMonitor.h"
#include "platform/EventLoop.h"
#include "testing/Subprocess.h"

namespace CompanionNetwork {
namespace {

using namespace std::chrono_literals;

// An EventLoop on a thread that has moved into a new network namespace; the monitor lives there.
class NamespaceThread {
public:
    NamespaceThread() {
        std::promise<std::string> started;
        auto result = started.get_future();
        thread_ = std::thread([this, &started] {
            if (::unshare(CLONE_NEWNET) != 0) {
                started.set_value(std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno));
                return;
            }
            namespacePath_ = "/proc/" + std::to_string(::getpid()) + "/task/" +
                             std::to_string(::syscall(SYS_gettid)) + "/ns/net";
            started.set_value({});
            loop_.run();
        });
        error_ = result.get();
    }

    ~NamespaceThread() {
        loop_.stop();
        thread_.join();
    }

    const std::string& error() const { return error_; }
    platform::EventLoop& loop() { return loop_; }

    // Runs `work` on the namespace's thread and waits for it.
    void sync(const std::function<void()>& work) {
        std::promise<void> done;
        loop_.post([&] {
            work();
            done.set_value();
        });
        done.get_future().get();
    }

    // A command run inside the namespace.
    testing_support::CommandResult run(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"nsenter", "--net=" + namespacePath_});
        return testing_support::runCommand(argv, 10s);
    }

private:
    platform::EventLoop loop_;
    std::thread thread_;
    std::string namespacePath_;
    std::string error_;
};

class NetlinkPathMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "a network namespace of its own needs root";
        if (!space.error().empty())
            GTEST_SKIP() << space.error();
        // No IPv6 here, so no link-local address appears by itself while the test looks.
        ASSERT_EQ(sh("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1"), 0);
        ASSERT_EQ(sh("ip link set lo up"), 0);
        space.sync([&] {
            monitor = std::make_unique<NetlinkPathMonitor>(space.loop());
            monitor->start([this](const PathStatus& status) {
                std::lock_guard lock(mutex);
                statuses.push_back(status);
                changed.notify_all();
            });
        });
    }

    void TearDown() override {
        if (monitor)
            space.sync([&] { monitor.reset(); });
    }

    int sh(const std::string& command) {
        const auto result = space.run({"/bin/sh", "-c", command});
        EXPECT_EQ(result.exitCode, 0) << command << ": " << result.errors;
        return result.exitCode;
    }

    // Waits (bounded) for the report number `index` and returns it.
    PathStatus report(std::size_t index) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 10s, [&] { return statuses.size() > index; }))
            return {false, "<no report " + std::to_string(index) + ">"};
        return statuses[index];
    }

    // Waits (bounded) until some report from number `index` on equals `wanted`; the veth carrier comes
    // up a moment after the link, so a restarted monitor may first see it still down.
    PathStatus eventually(std::size_t index, const PathStatus& wanted) {
        std::unique_lock lock(mutex);
        auto found = [&] {
            for (std::size_t i = index; i < statuses.size(); ++i)
                if (statuses[i] == wanted) return true;
            return false;
        };
        if (!changed.wait_for(lock, 10s, found)) return statuses.size() > index ? statuses.back() : PathStatus{};
        return wanted;
    }

    NamespaceThread space;
    std::unique_ptr<NetlinkPathMonitor> monitor;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PathStatus> statuses;
};

TEST_F(NetlinkPathMonitorTest, FollowsAnInterfaceThroughCarrierAndAddressChanges) {
    // Loopback alone is no network.
    EXPECT_FALSE(report(0).satisfied);
    EXPECT_EQ(report(0).reason, "No network connection.");

    // An interface that is up and connected but without an address changes the reason only.
    if (space.run({"ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"}).exitCode != 0)
        GTEST_SKIP() << "veth interfaces cannot be made here";
    ASSERT_EQ(sh("ip link set v1 up && ip link set v0 up"), 0);
    EXPECT_EQ(report(1), (PathStatus{false, "The network connection has no address yet."}));

    ASSERT_EQ(sh("ip addr add 10.231.0.1/24 dev v0"), 0);
    EXPECT_EQ(report(2), (PathStatus{true, {}}));

    // The peer going down takes the carrier away; the address stays but is no use.
    ASSERT_EQ(sh("ip link set v1 down"), 0);
    EXPECT_EQ(report(3), (PathStatus{false, "No network connection."}));

    ASSERT_EQ(sh("ip link set v1 up"), 0);
    EXPECT_EQ(report(4), (PathStatus{true, {}}));

    ASSERT_EQ(sh("ip addr flush dev v0"), 0);
    EXPECT_EQ(report(5), (PathStatus{false, "The network connection has no address yet."}));

    // Each change was reported once: no repeats of an unchanged status.
    space.sync([] {});
    std::lock_guard lock(mutex);
    EXPECT_EQ(statuses.size(), 6u);
}

TEST_F(NetlinkPathMonitorTest, ACancelledMonitorReportsNothingAndCanStartAgain) {
    EXPECT_FALSE(report(0).satisfied);
    space.sync([&] { monitor->cancel(); });
    if (space.run({"ip", "link", "add", "v0", "type", "veth", "peer", "name", "v1"}).exitCode != 0)
        GTEST_SKIP() << "veth interfaces cannot be made here";
    ASSERT_EQ(sh("ip addr add 10.231.0.1/24 dev v0 && ip link set v1 up && ip link set v0 up"), 0);
    space.sync([] {});
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(statuses.size(), 1u);
    }
    // Started again, it reports the status as it is now, and follows it from there.
    space.sync([&] {
        monitor->start([this](const PathStatus& status) {
            std::lock_guard lock(mutex);
            statuses.push_back(status);
            changed.notify_all();
        });
    });
    EXPECT_EQ(eventually(1, PathStatus{true, {}}), (PathStatus{true, {}}));
}

}  // namespace
}  // namespace CompanionNetwork
