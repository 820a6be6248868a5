#include <random>

#include <gtest/gtest.h>

#include "platform/LogCapture.h"
#include "screen-view/tests/ScreenViewTestSupport.h"

namespace ScreenView::fakes {
namespace {

TEST(ScreenViewSizing, FitAndOutputSize) {
    EXPECT_EQ(ScreenViewSizing::fit(1920, 1080, 8192), (PixelSize{1920, 1080}));
    EXPECT_EQ(ScreenViewSizing::fit(0, 0, 100), (PixelSize{1, 1}));
    EXPECT_EQ(ScreenViewSizing::fit(4000, 10, 100), (PixelSize{100, 1}));
    EXPECT_EQ(ScreenViewSizing::fit(3024, 1964, 1600), (PixelSize{1600, 1039}));
    EXPECT_EQ(ScreenViewSizing::fit(100, 100, 0), (PixelSize{1, 1}));
    using TrackpadProtocol::ScreenVideoCodec;
    EXPECT_EQ(ScreenViewSizing::outputSize(display(1, 5120, 2880), 8192, ScreenVideoCodec::h264),
              (PixelSize{4096, 2304}));
    EXPECT_EQ(ScreenViewSizing::outputSize(display(1, 5120, 2880), 8192, ScreenVideoCodec::hevc),
              (PixelSize{5120, 2880}));
    EXPECT_EQ(ScreenViewSizing::outputSize(display(1, 5120, 2880), 100, ScreenVideoCodec::h264),
              (PixelSize{100, 56}));
    EXPECT_EQ(ScreenViewSizing::outputSize(display(1, 20, 10), 8192, ScreenVideoCodec::h264),
              (PixelSize{20, 16}));
    EXPECT_EQ(ScreenViewSizing::outputSize(display(1, 3024, 1964), 1600, ScreenVideoCodec::h264),
              (PixelSize{1600, 1038}));
}

TEST(ScreenViewPacing, HandOffsArePacedToTheFrameRateWithOneWake) {
    SessionRig rig;
    rig.encoders->autoAnswer = true;
    rig.start(1, 30);
    rig.frame(1000);
    EXPECT_EQ(rig.encoder()->timestamps().size(), 1u);
    rig.queue->advance(0.032);  // past 0.95 of 33.3 ms: encoded at once
    rig.frame(33000);
    EXPECT_EQ(rig.encoder()->timestamps().size(), 2u);
    EXPECT_EQ(rig.queue->pendingTimers(), 0u);

    rig.queue->advance(0.020);  // too early: waits for one wake, when it becomes due (0.95 of the interval)
    rig.frame(53000);
    rig.frame(54000);  // replaces the waiting one
    EXPECT_EQ(rig.encoder()->timestamps().size(), 2u);
    EXPECT_EQ(rig.queue->pendingTimers(), 1u);
    rig.queue->advance(0.0116);
    EXPECT_EQ(rig.encoder()->timestamps().size(), 2u);
    rig.queue->advance(0.0001);
    EXPECT_EQ(rig.encoder()->timestamps(), (std::vector<std::uint64_t>{1000, 33000, 54000}));
    EXPECT_EQ(rig.session->statistics().framesSkipped, 1);
    EXPECT_EQ(rig.session->statistics().framesCaptured, 4);
}

// A capture at the view's own rate whose one frame arrives late must not leave every later frame waiting.
TEST(ScreenViewPacing, ALateFrameDoesNotDelayEveryFrameAfterIt) {
    SessionRig rig;
    rig.encoders->autoAnswer = true;
    rig.start(1, 30);
    const double interval = 1.0 / 30;
    const double start = rig.queue->now();
    rig.frame(1);
    for (int k = 1; k <= 10; ++k) {
        const double arrival = start + k * interval + (k == 3 ? 0.002 : 0.0);
        rig.queue->advance(arrival - rig.queue->now());
        rig.frame(static_cast<std::uint64_t>(k + 1));
        if (k >= 5) {
            EXPECT_EQ(rig.encoder()->timestamps().size(), static_cast<std::size_t>(k + 1)) << "frame " << k;
        }
    }
}

TEST(ScreenViewPacing, TimestampsHandedToTheEncoderStrictlyIncrease) {
    SessionRig rig;
    rig.encoders->autoAnswer = true;
    rig.start(1, 10);
    rig.frame(500);
    rig.queue->advance(0.2);
    rig.frame(500);  // same capture time
    rig.queue->advance(0.2);
    rig.frame(0);  // no usable time
    rig.queue->advance(0.2);
    rig.frame(900);
    EXPECT_EQ(rig.encoder()->timestamps(), (std::vector<std::uint64_t>{500, 501, 502, 900}));
}

TEST(ScreenViewPacing, TwoInFlightMakeTheNextFramesWaitAndSkip) {
    SessionRig rig;
    rig.link.holdCompletions = true;
    rig.encoders->autoAnswer = true;
    rig.start(1, 60);
    rig.link.take();
    rig.link.completeOne();  // the status
    for (int i = 0; i < 4; ++i) {
        rig.frame(1000 * (i + 1));
        rig.queue->advance(0.02);
    }
    EXPECT_EQ(rig.encoder()->timestamps().size(), 2u);
    EXPECT_EQ(rig.session->framesInFlight(), 2);
    EXPECT_EQ(rig.session->statistics().framesSkipped, 1);  // the fourth replaced the third
    ASSERT_TRUE(rig.link.completeOne());
    rig.queue->drain();
    EXPECT_EQ(rig.encoder()->timestamps(), (std::vector<std::uint64_t>{1000, 2000, 4000}));
    EXPECT_EQ(rig.session->framesInFlight(), 2);
    EXPECT_EQ(rig.session->statistics(), (ScreenViewSession::Statistics{4, 1, 3, 3, 0}));
}

TEST(ScreenViewPacing, ADroppedKeyframeIsAskedForAgainButADroppedFrameIsNot) {
    SessionRig rig;
    rig.start(1, 30);
    auto encoder = rig.encoder();
    rig.frame(1);
    encoder->complete(EncodeResult::dropped());
    rig.queue->advance(0.04);
    rig.frame(2);
    encoder->completeEncoded();
    rig.queue->advance(0.04);
    rig.frame(3);
    encoder->complete(EncodeResult::dropped());
    rig.queue->advance(0.04);
    rig.frame(4);
    encoder->completeEncoded();
    rig.queue->drain();
    EXPECT_EQ(encoder->keyframes(), (std::vector<bool>{true, true, false, false}));
    EXPECT_EQ(rig.session->statistics().framesDroppedByEncoder, 2);
    EXPECT_EQ(rig.session->framesInFlight(), 0);
}

TEST(ScreenViewPacing, AKeyframeWithoutParameterSetsIsAskedForAgain) {
    SessionRig rig;
    rig.start(1, 30);
    auto encoder = rig.encoder();
    rig.frame(1);
    encoder->complete(EncodeResult::encoded(FakeEncoder::sampleFor(false)));
    rig.queue->advance(0.04);
    rig.frame(2);
    encoder->completeEncoded();
    rig.queue->advance(0.04);
    rig.frame(3);
    encoder->completeEncoded();
    rig.queue->drain();
    EXPECT_EQ(encoder->keyframes(), (std::vector<bool>{true, true, false}));
}

TEST(ScreenViewPacing, FramesGoOutAsPartsNumberedWithWrap) {
    ScreenViewSession::Environment environment;
    environment.firstFrameNumber = 4294967295u;
    SessionRig rig(ScreenViewSession::Configuration(2, 0.85), environment);
    rig.encoders->autoAnswer = true;
    rig.start(2, 30, 1000);
    rig.link.take();
    rig.frame(10);
    rig.queue->advance(0.04);
    rig.frame(20);
    const auto frames = videoFrames(rig.link.take());
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].first, 4294967295u);
    EXPECT_EQ(frames[1].first, 0u);
    const auto& first = frames[0].second;
    EXPECT_EQ(first.displayID, 2u);
    EXPECT_EQ(first.pixelWidth, 1000);
    EXPECT_EQ(first.pixelHeight, 562);
    EXPECT_EQ(first.timestamp, 10u);
    EXPECT_EQ(first.parameterSets, FakeEncoder::sampleFor(true).parameterSets);
    EXPECT_TRUE(frames[1].second.parameterSets.empty());
}

TEST(ScreenViewPacing, AFrameTooLargeForPartsFreesItsSlotAndAsksForAKeyframe) {
    SessionRig rig;
    rig.start(1, 30);
    auto encoder = rig.encoder();
    rig.frame(1);
    EncodedSample huge;
    huge.sample.assign(TrackpadProtocol::ScreenDataPart::maxDocumentBytes + 1, 0);
    encoder->complete(EncodeResult::encoded(huge));
    rig.queue->drain();
    EXPECT_EQ(rig.session->framesInFlight(), 0);
    EXPECT_EQ(rig.session->statistics().framesSent, 0);
    rig.queue->advance(0.04);
    rig.frame(2);
    EXPECT_EQ(encoder->keyframes(), (std::vector<bool>{true, true}));
}

TEST(ScreenViewPacing, AnEncoderFailureEndsTheView) {
    platform::LogCapture log;
    SessionRig rig;
    rig.start(1, 30);
    rig.link.take();
    rig.frame(1);
    rig.encoder()->complete(EncodeResult::failed("out of memory"));
    rig.queue->drain();
    EXPECT_EQ(rig.statuses(), std::vector{status(State::failed, 1)});
    EXPECT_TRUE(rig.source->lastCapture()->stopped());
    EXPECT_TRUE(log.contains("Lumivex screen view: the encoder failed: out of memory"));
}

TEST(ScreenViewPacing, ResultsAndCompletionsOfAnEndedViewChangeNothing) {
    SessionRig rig;
    rig.link.holdCompletions = true;
    rig.start(1, 30);
    auto oldEncoder = rig.encoder();
    rig.frame(1);
    rig.start(1, 30);  // a new view while the old one has a frame at the encoder
    oldEncoder->completeEncoded();
    rig.queue->drain();
    EXPECT_EQ(rig.session->framesInFlight(), 0);
    EXPECT_EQ(videoFrames(rig.link.take()).size(), 0u);
    EXPECT_EQ(rig.encoder()->keyframes().size(), 0u);
}

// Under random interleavings of frames, encoder results, late send completions, display changes, stops
// and closes, the frames in flight never exceed the limit and every encode call gets its answer.
TEST(ScreenViewPacing, InFlightNeverExceedsTheLimitUnderRandomInterleavings) {
    for (int seed = 1; seed <= 200; ++seed) {
        std::mt19937 random(static_cast<unsigned>(seed));
        const int limit = 1 + seed % 3;
        SessionRig rig(ScreenViewSession::Configuration(limit, 0.85));
        rig.link.holdCompletions = true;
        rig.start(1, 30 + seed % 90);
        std::uint64_t timestamp = 1;
        bool closed = false;
        for (int step = 0; step < 300; ++step) {
            auto encoder = rig.encoder();
            switch (random() % 9) {
                case 0:
                case 1:
                    if (auto capture = rig.source->lastCapture()) {
                        capture->deliver(timestamp += random() % 3);
                    }
                    break;
                case 2:
                    if (encoder && encoder->pendingCount() > 0) {
                        encoder->completeEncoded();
                    }
                    break;
                case 3:
                    if (encoder && encoder->pendingCount() > 0) {
                        encoder->complete(random() % 2 ? EncodeResult::dropped() : EncodeResult::encoded({}));
                    }
                    break;
                case 4:
                    rig.link.completeOne();
                    break;
                case 5:
                    rig.queue->advance(0.001 * (random() % 40));
                    break;
                case 6:
                    if (random() % 4 == 0) {
                        rig.source->setDisplays({display(1, 640 + 2 * (random() % 3), 480)});
                        rig.displayChanges->post();
                    }
                    break;
                case 7:
                    if (random() % 10 == 0) {
                        rig.session->handle(random() % 2 ? Message(Message::ScreenViewSelectDisplay{1})
                                                         : Message(Message::ScreenViewStop{}));
                    } else if (random() % 10 == 0) {
                        rig.start(1, 30 + seed % 90);
                    }
                    break;
                case 8:
                    if (random() % 50 == 0) {
                        rig.session->stop();
                        closed = true;
                    }
                    break;
            }
            rig.queue->drain();
            ASSERT_LE(rig.session->framesInFlight(), limit) << "seed " << seed << " step " << step;
        }
        rig.session->stop();
        rig.queue->drain();
        EXPECT_EQ(rig.session->framesInFlight(), 0) << "seed " << seed;
        EXPECT_TRUE(rig.session->isClosed());
        (void)closed;
        // Late answers after the close find nothing to do.
        for (auto& made : rig.encoders->made) {
            while (made.encoder->pendingCount() > 0) {
                made.encoder->completeEncoded();
            }
        }
        while (rig.link.completeOne()) {
        }
        rig.queue->drain();
        EXPECT_EQ(rig.session->framesInFlight(), 0);
    }
}

TEST(ScreenViewPacing, ASendThatNeverCompletesHoldsTheRateDownWithoutQueueing) {
    SessionRig rig;
    rig.link.holdCompletions = true;
    rig.encoders->autoAnswer = true;
    rig.start(1, 60);
    rig.link.completeOne();  // the status
    for (int i = 0; i < 120; ++i) {
        rig.frame(static_cast<std::uint64_t>(i + 1) * 16667);
        rig.queue->advance(1.0 / 60);
    }
    EXPECT_EQ(rig.session->statistics().framesEncoded, 2);
    EXPECT_EQ(rig.session->statistics().framesSkipped, 117);
    EXPECT_EQ(rig.link.heldCount(), 2u);
}

}  // namespace
}  // namespace ScreenView::fakes
