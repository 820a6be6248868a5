// The Avahi advertiser where no daemon can be reached. With a real daemon: tests/integration.
#include "network/AvahiServiceAdvertiser.h"

#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "testing/Subprocess.h"

namespace CompanionNetwork {
namespace {

using namespace std::chrono_literals;

class AvahiWithoutDaemon : public ::testing::Test {
protected:
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            loop.runFor(0.01);
        }
        return true;
    }

    // A bus address where nothing listens.
    testing_support::ScopedEnvironment environment{
        {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/lumivex-test/system_bus_socket"}}};
    platform::EventLoop loop;
    std::vector<ServiceAdvertiser::State> states;
};

TEST_F(AvahiWithoutDaemon, AdvertisingReportsUnavailableOnceAndKeepsTryingQuietly) {
    AvahiServiceAdvertiser advertiser(loop, {10ms, 20ms});
    advertiser.setStateHandler([&](const ServiceAdvertiser::State& state) { states.push_back(state); });
    advertiser.advertise({"Host", 50000, 50001, {{"v", "1"}}});
    EXPECT_TRUE(states.empty()) << "reported from inside advertise()";
    ASSERT_TRUE(runUntil([&] { return !states.empty(); }));
    ASSERT_TRUE(std::holds_alternative<ServiceAdvertiser::Unavailable>(states[0]));
    EXPECT_FALSE(std::get<ServiceAdvertiser::Unavailable>(states[0]).reason.empty());

    // Several retries pass; an unchanged state is not reported again.
    loop.runFor(0.15);
    EXPECT_EQ(states.size(), 1u);

    // Withdrawn, nothing more comes, and a new advertisement reports afresh.
    advertiser.withdraw();
    loop.runFor(0.05);
    EXPECT_EQ(states.size(), 1u);
    advertiser.advertise({"Host", 50000, 50001, {}});
    ASSERT_TRUE(runUntil([&] { return states.size() == 2; }));
    EXPECT_TRUE(std::holds_alternative<ServiceAdvertiser::Unavailable>(states[1]));
}

TEST_F(AvahiWithoutDaemon, AnAdvertiserDestroyedWithAReportOnItsWayCallsNothing) {
    {
        AvahiServiceAdvertiser advertiser(loop, {10ms, 20ms});
        advertiser.setStateHandler([&](const ServiceAdvertiser::State& state) { states.push_back(state); });
        advertiser.advertise({"Host", 50000, 50001, {}});
    }
    loop.runFor(0.05);
    EXPECT_TRUE(states.empty());
}

}  // namespace
}  // namespace CompanionNetwork
