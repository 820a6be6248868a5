#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <stdexcept>

#include "testing/XTestWindow.h"
#include "testing/XvfbServer.h"

namespace testing_support {
namespace {

class XvfbServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
    }
};

TEST_F(XvfbServerTest, ServersSideBySideGetTheirOwnDisplays) {
    XvfbServer first;
    XvfbServer second;
    EXPECT_THAT(first.displayName(), ::testing::StartsWith(":"));
    EXPECT_NE(first.displayName(), second.displayName());
    XTestWindow window(second.displayName());
    EXPECT_EQ(window.queryPointer().mask, 0);
}

TEST_F(XvfbServerTest, DestructionEndsTheServer) {
    pid_t pid = -1;
    {
        XvfbServer server;
        pid = server.pid();
        ASSERT_EQ(kill(pid, 0), 0);
    }
    EXPECT_EQ(kill(pid, 0), -1) << "the server was reaped";
}

TEST_F(XvfbServerTest, ServerThatCannotStartSaysWhy) {
    XvfbServer::Options options;
    options.width = 0;
    try {
        XvfbServer server(options);
        FAIL() << "started with an empty screen";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), ::testing::HasSubstr("Xvfb did not start"));
    }
}

}  // namespace
}  // namespace testing_support
