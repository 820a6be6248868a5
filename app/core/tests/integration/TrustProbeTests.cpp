// The permission on a real X server: a display that goes away makes it missing, and the same display
// coming back makes it granted again, without restarting anything.
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "app/core/AccessibilityPermission.h"
#include "platform/ManualExecutor.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace Shell {
namespace {

using namespace std::chrono_literals;

TEST(SystemTrustProbe, FollowsTheDisplayGoingAwayAndComingBack) {
    if (!testing_support::XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    auto server = std::make_unique<testing_support::XvfbServer>();
    const std::string display = server->displayName();
    testing_support::ScopedEnvironment environment({{"DISPLAY", display}});
    SystemTrustProbe probe;
    platform::ManualExecutor executor;
    AccessibilityPermission permission(executor, probe);
    EXPECT_EQ(permission.currentStatus(), AccessibilityStatus::granted);

    server.reset();
    EXPECT_TRUE(testing_support::waitUntil(
        [&] {
            permission.refresh();
            return permission.currentStatus() == AccessibilityStatus::missing;
        },
        5s));

    // The display number the system gave the first server, now free again.
    testing_support::Subprocess again({"Xvfb", display, "-nolisten", "tcp"});
    EXPECT_TRUE(testing_support::waitUntil(
        [&] {
            permission.refresh();
            return permission.currentStatus() == AccessibilityStatus::granted;
        },
        10s));
}

TEST(SystemTrustProbe, AsksWithoutWaitingForABusyServer) {
    if (!testing_support::XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    testing_support::XvfbServer server;
    testing_support::ScopedEnvironment environment({{"DISPLAY", server.displayName()}});
    SystemTrustProbe probe;
    ASSERT_TRUE(probe.isTrusted());
    // The server answers nothing for a while, as one busy copying a large screen for another client;
    // the probe is asked on the main loop, for every phone message.
    ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
    std::atomic<bool> answering{false};
    std::thread resume([&] {
        std::this_thread::sleep_for(1500ms);
        answering = true;
        ::kill(server.pid(), SIGCONT);
    });
    bool waited = false;
    for (int i = 0; i < 9; ++i) {
        EXPECT_TRUE(probe.isTrusted());
        waited = waited || answering;
        std::this_thread::sleep_for(100ms);
    }
    resume.join();
    EXPECT_FALSE(waited) << "the probe waited for the server";
}

}  // namespace
}  // namespace Shell
