// The permission on a real X server: a display that goes away makes it missing, and the same display
// coming back makes it granted again, without restarting anything.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

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

}  // namespace
}  // namespace Shell
