#include <gtest/gtest.h>

#include "platform/ManualExecutor.h"
#include "screen-view/shell/ScreenViewShellService.h"
#include "screen-view/tests/ScreenViewFakes.h"

namespace ScreenView {
namespace {

using TrackpadProtocol::Message;

TEST(ScreenViewShellService, ConnectionsGetTheirOwnSessionsThroughTheShellsInterface) {
    auto queue = std::make_shared<platform::ManualExecutor>();
    auto source = std::make_shared<fakes::FakeCaptureSource>();
    source->setDisplays({fakes::display(5, 800, 600)});
    auto host = std::make_unique<ScreenViewShellService::Host>(
        source, std::make_shared<fakes::FakeEncoderFactory>(), std::make_shared<fakes::FakePermission>(),
        ScreenViewSession::Configuration(2, 0.85), nullptr, [queue] {
            ScreenViewSession::Environment environment;
            environment.queue = queue;
            environment.imageQueue = queue;
            return environment;
        });
    ScreenViewShellService service(std::move(host));
    Shell::ScreenViewService& shell = service;
    fakes::RecordingLink one, two;
    CompanionNetwork::ScreenViewLink linkOne{CompanionNetwork::ConnectionID{1}, {}, one.send()};
    CompanionNetwork::ScreenViewLink linkTwo{CompanionNetwork::ConnectionID{2}, {}, two.send()};
    shell.handle(Message::ScreenViewStart{{5, 800, 30, TrackpadProtocol::ScreenVideoCodecs::h264}}, linkOne,
                 linkOne.send);
    shell.handle(Message::ScreenDisplaysRequest{}, linkTwo, linkTwo.send);
    queue->drain();
    EXPECT_EQ(one.take().size(), 1u);
    EXPECT_EQ(two.take().size(), 1u);
    shell.endSession(CompanionNetwork::ConnectionID{1});
    queue->drain();
    EXPECT_TRUE(source->lastCapture()->stopped());
    EXPECT_EQ(service.host().activeKeys().size(), 1u);
    shell.stopAll();
    queue->drain();
    EXPECT_TRUE(service.host().activeKeys().empty());
}

}  // namespace
}  // namespace ScreenView
