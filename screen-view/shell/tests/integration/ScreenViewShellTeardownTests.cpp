// The screen view's end with the process: over a private X server and the process's kind of directory.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include "platform/DisplayDirectory.h"
#include "platform/EventLoop.h"
#include "platform/WorkerThread.h"
#include "screen-view/shell/ScreenViewShellService.h"
#include "testing/XvfbServer.h"

namespace ScreenView {
namespace {

using testing_support::XvfbServer;
using TrackpadProtocol::Message;

// A session is closed on its own queue, whose thread then ends by itself and last lets go of the
// displays, which hand their subscription back to the main loop. As in the process, the directory goes
// with the services, and once every queue is joined the loop can go right after.
TEST(ScreenViewShellTeardown, SessionsStoppedAtTheEndAreOverBeforeTheLoopGoes) {
    if (!XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh installs it)";
    }
    XvfbServer server;
    for (int round = 0; round < 5; ++round) {
        auto loop = std::make_unique<platform::EventLoop>();
        auto directory = platform::DisplayDirectory::open(*loop, server.displayName());
        ASSERT_TRUE(directory);
        const std::size_t subscribers = directory->displays().subscriberCount();
        auto service = makeScreenViewService(*loop, directory.get(), server.displayName());
        ASSERT_EQ(directory->displays().subscriberCount(), subscribers + 1);

        std::promise<void> answered;
        CompanionNetwork::ScreenViewLink link{CompanionNetwork::ConnectionID{1}, {}, {}};
        service->handle(Message::ScreenDisplaysRequest{}, link,
                        [&answered](std::vector<Message>, CompanionNetwork::ScreenViewLink::Completion done) {
                            done();
                            answered.set_value();
                        });
        ASSERT_EQ(answered.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

        service.reset();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (directory->displays().subscriberCount() != subscribers &&
               std::chrono::steady_clock::now() < deadline) {
            loop->runFor(0.01);
        }
        EXPECT_EQ(directory->displays().subscriberCount(), subscribers);
        directory.reset();
        EXPECT_TRUE(platform::WorkerThread::joinAll(std::chrono::seconds(10)));
        loop.reset();
    }
}

}  // namespace
}  // namespace ScreenView
