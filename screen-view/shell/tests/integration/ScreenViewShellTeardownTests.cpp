// The screen view's end with the process: over a private X server and the process's kind of directory.
#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "platform/DisplayDirectory.h"
#include "platform/EventLoop.h"
#include "platform/LoopQueue.h"
#include "screen-view/shell/ScreenViewShellService.h"
#include "testing/XvfbServer.h"

namespace ScreenView {
namespace {

using testing_support::XvfbServer;
using TrackpadProtocol::Message;

// A session is closed on its own queue, whose thread then ends by itself and last lets go of the
// displays, which hand their subscription back to the main loop. All of that is over once every queue is
// joined, so the loop and the directory can go right after.
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
        EXPECT_TRUE(platform::LoopQueue::joinAll(std::chrono::seconds(10)));
        loop->runOnce();
        EXPECT_EQ(directory->displays().subscriberCount(), subscribers);
        directory.reset();
        loop.reset();
    }
}

}  // namespace
}  // namespace ScreenView
