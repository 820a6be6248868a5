#include <cmath>

#include <gtest/gtest.h>

#include "platform/LogCapture.h"
#include "screen-view/ScreenViewHost.h"
#include "screen-view/tests/ScreenViewTestSupport.h"

namespace ScreenView::fakes {
namespace {

using TrackpadProtocol::ScreenVideoCodecs;

TEST(ScreenViewSession, ConfigurationClampsItsValues) {
    EXPECT_EQ(ScreenViewSession::Configuration(0, 0.85).maxFramesInFlight, 1);
    EXPECT_EQ(ScreenViewSession::Configuration(-5, 0.85).maxFramesInFlight, 1);
    EXPECT_EQ(ScreenViewSession::Configuration(2, 5).screenshotQuality, 1.0);
    EXPECT_EQ(ScreenViewSession::Configuration(2, 0).screenshotQuality, 0.1);
    EXPECT_EQ(ScreenViewSession::Configuration(2, std::nan("")).screenshotQuality, 0.1);
}

TEST(ScreenViewSession, DisplayListIsCutTo32AndAnsweredWithoutPermissionOrView) {
    SessionRig rig;
    std::vector<ScreenDisplay> forty;
    for (std::uint32_t id = 1; id <= 40; ++id) {
        forty.push_back(display(id, 800, 600));
    }
    rig.source->setDisplays(forty);
    rig.permission->granted = false;
    rig.handle(Message::ScreenDisplaysRequest{});
    const auto sent = rig.link.take();
    ASSERT_EQ(sent.size(), 1u);
    const auto* list = sent[0].as<Message::ScreenDisplays>();
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->displays.size(), 32u);
    EXPECT_EQ(list->displays.back().id, 32u);
    EXPECT_EQ(rig.permission->requests, 0);
}

TEST(ScreenViewSession, StartAnswersEachFailureAndLeavesNoView) {
    {
        SessionRig rig;  // the phone accepts only HEVC, the factory offers only H.264
        rig.start(1, 30, 8192, ScreenVideoCodecs::hevc);
        EXPECT_EQ(rig.statuses(), std::vector{status(State::failed, 1)});
        EXPECT_TRUE(rig.encoders->made.empty());
    }
    {
        SessionRig rig;
        rig.permission->granted = false;
        rig.start(1);
        rig.start(1);
        EXPECT_EQ(rig.statuses(), (std::vector{status(State::screenRecordingRequired, 1),
                                               status(State::screenRecordingRequired, 1)}));
        EXPECT_EQ(rig.permission->requests,
                  2);  // asked on each start; the permission decides whether to prompt
        EXPECT_TRUE(rig.source->captures().empty());
    }
    {
        SessionRig rig;
        rig.start(99);
        EXPECT_EQ(rig.statuses(), std::vector{status(State::displayUnavailable, 99)});
    }
    {
        SessionRig rig;
        rig.encoders->refuse = true;
        rig.start(1);
        EXPECT_EQ(rig.statuses(), std::vector{status(State::failed, 1)});
        EXPECT_TRUE(rig.source->captures().empty());
        EXPECT_FALSE(rig.session->isShowing());
    }
}

TEST(ScreenViewSession, StartPrefersH264AndSizesCaptureAndEncoderAlike) {
    SessionRig rig;
    rig.encoders->codecs = ScreenVideoCodecs(3);
    rig.start(2, 60, 8192, ScreenVideoCodecs(3));
    EXPECT_EQ(rig.statuses(), std::vector{status(State::showing, 2)});
    ASSERT_EQ(rig.encoders->made.size(), 1u);
    const auto& made = rig.encoders->made[0];
    EXPECT_EQ(made.codec, ScreenVideoCodec::h264);
    EXPECT_EQ(made.pixelWidth, 4096);  // 5120x2880 capped at H.264's 4096
    EXPECT_EQ(made.pixelHeight, 2304);
    EXPECT_EQ(made.framesPerSecond, 60);
    EXPECT_EQ(rig.source->lastCapture()->configuration, (CaptureConfiguration{4096, 2304, 60}));
}

TEST(ScreenViewSession, AStartWhileShowingEndsTheOldViewFirstEvenWhenTheNewOneFails) {
    SessionRig rig;
    rig.start(1);
    auto firstCapture = rig.source->lastCapture();
    auto firstEncoder = rig.encoder();
    rig.start(1);  // same display: restarts and says showing again
    EXPECT_TRUE(firstCapture->stopped());
    EXPECT_TRUE(firstEncoder->invalidated());
    EXPECT_EQ(rig.statuses(), (std::vector{status(State::showing, 1), status(State::showing, 1)}));

    auto secondCapture = rig.source->lastCapture();
    rig.start(77);
    EXPECT_TRUE(secondCapture->stopped());
    EXPECT_EQ(rig.statuses(), std::vector{status(State::displayUnavailable, 77)});
    EXPECT_FALSE(rig.session->isShowing());
    // The old capture's late frames and its stop change nothing.
    secondCapture->deliver(5);
    rig.queue->drain();
    EXPECT_EQ(rig.session->statistics().framesCaptured, 0);
}

TEST(ScreenViewSession, SelectDisplayAndStop) {
    SessionRig rig;
    rig.handle(Message::ScreenViewSelectDisplay{1});
    rig.handle(Message::ScreenViewStop{});
    EXPECT_EQ(rig.statuses(),
              (std::vector{status(State::stopped, std::nullopt), status(State::stopped, std::nullopt)}));

    rig.encoders->autoAnswer = true;
    rig.start(1);
    rig.frame(1000);
    rig.link.take();
    // The same display again: showing, and a keyframe from the last frame without waiting for a new one.
    rig.queue->advance(0.1);
    rig.handle(Message::ScreenViewSelectDisplay{1});
    const auto sent = rig.link.take();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0], Message(Message::ScreenViewStatus{status(State::showing, 1)}));
    const auto frames = videoFrames(sent);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].second.parameterSets.empty());
    EXPECT_EQ(rig.encoder()->keyframes(), (std::vector<bool>{true, true}));

    // Another display restarts the view there with the same request.
    rig.handle(Message::ScreenViewSelectDisplay{2});
    EXPECT_EQ(rig.statuses(), std::vector{status(State::showing, 2)});
    EXPECT_EQ(rig.source->lastCapture()->displayID, 2u);
    EXPECT_EQ(rig.source->lastCapture()->configuration.framesPerSecond, 30);

    rig.handle(Message::ScreenViewStop{});
    EXPECT_EQ(rig.statuses(), std::vector{status(State::stopped, 2)});
    EXPECT_TRUE(rig.source->lastCapture()->stopped());
}

TEST(ScreenViewSession, DisplayChangesFollowTheViewedDisplay) {
    SessionRig rig;
    rig.displayChanges->post();  // nothing shown: nothing sent
    rig.queue->drain();
    EXPECT_TRUE(rig.link.take().empty());

    rig.start(1);
    rig.link.take();
    rig.displayChanges->post();  // same size: only the list
    rig.queue->drain();
    auto sent = rig.link.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(sent[0].is<Message::ScreenDisplays>());

    rig.source->setDisplays({display(1, 1280, 720)});
    rig.displayChanges->post();  // resized: restarted at the new size
    rig.queue->drain();
    sent = rig.link.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], Message(Message::ScreenViewStatus{status(State::showing, 1)}));
    EXPECT_EQ(rig.source->lastCapture()->configuration, (CaptureConfiguration{1280, 720, 30}));
    EXPECT_EQ(rig.source->captures().size(), 2u);

    rig.source->setDisplays({display(2, 800, 600)});
    rig.displayChanges->post();  // gone mid-view
    rig.queue->drain();
    sent = rig.link.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], Message(Message::ScreenViewStatus{status(State::displayUnavailable, 1)}));
    EXPECT_TRUE(rig.source->lastCapture()->stopped());
    EXPECT_FALSE(rig.session->isShowing());
}

TEST(ScreenViewSession, ACaptureThatEndsByItselfReportsWhy) {
    platform::LogCapture log;
    SessionRig rig;
    rig.start(1);
    rig.source->lastCapture()->end(ScreenCaptureError::displayUnavailable());
    rig.queue->drain();
    rig.start(1);
    rig.source->lastCapture()->end(ScreenCaptureError::screenRecordingDenied());
    rig.queue->drain();
    rig.start(1);
    rig.permission->granted = false;
    rig.source->lastCapture()->end(ScreenCaptureError::failed("X went away"));
    rig.queue->drain();
    rig.permission->granted = true;
    rig.start(1);
    rig.source->setDisplays({});
    rig.source->lastCapture()->end(ScreenCaptureError::failed("gone"));
    rig.queue->drain();
    rig.source->setDisplays({display(1, 1920, 1080)});
    rig.start(1);
    rig.source->lastCapture()->end(ScreenCaptureError::failed("odd"));
    rig.queue->drain();
    EXPECT_EQ(rig.statuses(),
              (std::vector{status(State::showing, 1), status(State::displayUnavailable, 1),
                           status(State::showing, 1), status(State::screenRecordingRequired, 1),
                           status(State::showing, 1), status(State::screenRecordingRequired, 1),
                           status(State::showing, 1), status(State::displayUnavailable, 1),
                           status(State::showing, 1), status(State::failed, 1)}));
    EXPECT_TRUE(log.contains("Lumivex screen view: the capture stopped: X went away"));
    EXPECT_TRUE(rig.encoder()->invalidated());
}

TEST(ScreenViewSession, AStopIgnoresQueuedMessagesAndEndsTheViewOnce) {
    SessionRig rig;
    rig.start(1);
    rig.link.take();
    auto capture = rig.source->lastCapture();
    rig.session->handle(Message::ScreenDisplaysRequest{});  // queued, not yet run
    rig.session->handle(Message::ScreenViewStop{});
    rig.session->stop();
    rig.session->handle(Message::ScreenDisplaysRequest{});
    rig.queue->drain();
    EXPECT_TRUE(rig.link.take().empty());
    EXPECT_TRUE(capture->stopped());
    EXPECT_TRUE(rig.encoder()->invalidated());
    EXPECT_EQ(rig.displayChanges->liveSubscriptions(), 0u);
    // A capture stop arriving after the close changes nothing and sends nothing.
    capture->end(ScreenCaptureError::displayUnavailable());
    rig.queue->drain();
    EXPECT_TRUE(rig.link.take().empty());
}

TEST(ScreenViewSession, AReleasedSessionEndsItsViewAndObserver) {
    SessionRig rig;
    rig.start(1);
    auto capture = rig.source->lastCapture();
    rig.session.reset();
    EXPECT_TRUE(capture->stopped());
    EXPECT_EQ(rig.displayChanges->liveSubscriptions(), 0u);
    capture->deliver(1);  // a late frame finds no session
    rig.queue->drain();
}

TEST(ScreenViewHost, OneSessionPerKeyKeepingItsFirstSend) {
    auto queue = std::make_shared<platform::ManualExecutor>();
    auto source = std::make_shared<FakeCaptureSource>();
    source->setDisplays({display(1, 640, 480)});
    ScreenViewHost<int> host(source, std::make_shared<FakeEncoderFactory>(),
                             std::make_shared<FakePermission>(), ScreenViewSession::Configuration(2, 0.85),
                             nullptr, [queue] {
                                 ScreenViewSession::Environment environment;
                                 environment.queue = queue;
                                 environment.imageQueue = queue;
                                 return environment;
                             });
    RecordingLink first, second, other;
    host.handle(Message::ScreenDisplaysRequest{}, 7, first.send());
    host.handle(Message::ScreenDisplaysRequest{}, 7, second.send());
    host.handle(Message::ScreenDisplaysRequest{}, 8, other.send());
    queue->drain();
    EXPECT_EQ(first.take().size(), 2u);
    EXPECT_TRUE(second.take().empty());
    EXPECT_EQ(other.take().size(), 1u);
    EXPECT_EQ(host.activeKeys(), (std::unordered_set<int>{7, 8}));

    host.handle(Message::ScreenViewStart{{1, 1000, 30, ScreenVideoCodecs::h264}}, 7, first.send());
    queue->drain();
    first.take();
    host.handle(Message::ScreenDisplaysRequest{}, 7, first.send());
    host.endSession(7);  // the queued request is ignored
    queue->drain();
    EXPECT_TRUE(first.take().empty());
    EXPECT_TRUE(source->lastCapture()->stopped());
    EXPECT_EQ(host.session(7), nullptr);

    host.handle(Message::ScreenDisplaysRequest{}, 7, second.send());  // a fresh session with the new send
    host.stopAll();
    queue->drain();
    EXPECT_TRUE(second.take().empty());
    EXPECT_TRUE(host.activeKeys().empty());
}

}  // namespace
}  // namespace ScreenView::fakes
