#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/LogCapture.h"
#include "platform/imaging/Codecs.h"
#include "screen-view/ScreenshotImage.h"
#include "screen-view/SystemScreenRecordingPermission.h"
#include "screen-view/tests/ScreenViewTestSupport.h"

namespace ScreenView::fakes {
namespace {

using TrackpadProtocol::Screenshot;
using TrackpadProtocol::ScreenshotRequest;

std::shared_ptr<BgraImage> noise(int width, int height, unsigned seed = 7) {
    auto image = std::make_shared<BgraImage>(width, height);
    std::mt19937 random(seed);
    for (std::size_t i = 0; i < image->byteCount(); ++i) {
        image->data()[i] = static_cast<std::uint8_t>(random());
    }
    return image;
}

std::shared_ptr<BgraImage> solid(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    auto image = std::make_shared<BgraImage>(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* pixel = image->row(y) + 4 * x;
            pixel[0] = b, pixel[1] = g, pixel[2] = r, pixel[3] = 255;
        }
    }
    return image;
}

PixelSize jpegSize(const Data& jpeg) {
    const auto info = platform::imaging::readJPEGInfo(jpeg);
    return info ? PixelSize{info->width, info->height} : PixelSize{};
}

// Screenshots the session answered, by transfer number.
std::vector<std::pair<std::uint32_t, Screenshot>> screenshots(const std::vector<Message>& messages) {
    std::vector<std::pair<std::uint32_t, Screenshot>> result;
    TrackpadProtocol::ScreenDataAssembler assembler;
    for (const Message& message : messages) {
        if (const auto* part = message.as<Message::Screenshot>()) {
            if (auto document = assembler.add(part->part)) {
                result.emplace_back(part->part.transfer, Screenshot::decode(*document));
            }
        }
    }
    return result;
}

TEST(Screenshots, RefusalsAreAnsweredWithTheRequestNumber) {
    SessionRig rig;
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{41, 99, 1600}});
    rig.permission->granted = false;
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{42, 1, 1600}});
    const auto answers = screenshots(rig.link.take());
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].first, 41u);
    EXPECT_EQ(answers[0].second, Screenshot(Screenshot::Status::displayUnavailable));
    EXPECT_EQ(answers[1].first, 42u);
    EXPECT_EQ(answers[1].second, Screenshot(Screenshot::Status::screenRecordingRequired));
    EXPECT_EQ(rig.permission->requests, 1);
}

TEST(Screenshots, ADisplayIsCapturedFittedAndSentAsJpegOfThatSize) {
    SessionRig rig;
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{7, 2, 1600}});
    auto calls = rig.source->takeScreenshotCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].pixelWidth, 1600);
    EXPECT_EQ(calls[0].pixelHeight, 900);
    calls[0].completion(CapturedImage{solid(1600, 900, 0, 0, 255)});
    rig.queue->drain();
    const auto answers = screenshots(rig.link.take());
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].first, 7u);
    ASSERT_EQ(answers[0].second.status(), Screenshot::Status::taken);
    EXPECT_EQ(jpegSize(*answers[0].second.image()), (PixelSize{1600, 900}));
}

TEST(Screenshots, CaptureErrorsBecomeStatusesAndAnswersFollowCompletionOrder) {
    platform::LogCapture log;
    SessionRig rig;
    for (std::uint32_t number = 1; number <= 3; ++number) {
        rig.handle(Message::ScreenshotRequest{ScreenshotRequest{number, 1, 800}});
    }
    auto calls = rig.source->takeScreenshotCalls();
    ASSERT_EQ(calls.size(), 3u);
    calls[2].completion(ScreenCaptureError::failed("grab refused"));
    calls[0].completion(ScreenCaptureError::screenRecordingDenied());
    calls[1].completion(ScreenCaptureError::displayUnavailable());
    rig.queue->drain();
    const auto answers = screenshots(rig.link.take());
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0], std::make_pair(3u, Screenshot(Screenshot::Status::failed)));
    EXPECT_EQ(answers[1], std::make_pair(1u, Screenshot(Screenshot::Status::screenRecordingRequired)));
    EXPECT_EQ(answers[2], std::make_pair(2u, Screenshot(Screenshot::Status::displayUnavailable)));
    EXPECT_TRUE(log.contains("Lumivex screenshot failed: grab refused"));
}

TEST(Screenshots, AtMostFourAreUnderWayAndOnePerDisplayWaitsItsTurn) {
    SessionRig rig;
    rig.source->setDisplays({display(1, 1920, 1080), display(2, 5120, 2880), display(3, 800, 600)});
    for (std::uint32_t number = 1; number <= 8; ++number) {
        rig.handle(Message::ScreenshotRequest{ScreenshotRequest{number, 1, 800}});
    }
    auto calls = rig.source->takeScreenshotCalls();
    EXPECT_EQ(calls.size(), 4u);
    // Three wait (one per display); only the eighth is refused.
    auto answers = screenshots(rig.link.take());
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], std::make_pair(8u, Screenshot(Screenshot::Status::failed)));
    // Each answer starts the next one waiting, in order.
    for (std::uint32_t next = 5; next <= 7; ++next) {
        calls[0].completion(CapturedImage{solid(64, 36, 1, 2, 3)});
        rig.queue->drain();
        calls.erase(calls.begin());
        auto started = rig.source->takeScreenshotCalls();
        ASSERT_EQ(started.size(), 1u) << next;
        calls.push_back(std::move(started[0]));
    }
    for (auto& call : calls) {
        call.completion(CapturedImage{solid(64, 36, 1, 2, 3)});
    }
    rig.queue->drain();
    answers = screenshots(rig.link.take());
    ASSERT_EQ(answers.size(), 7u);
    for (const auto& answer : answers) {
        EXPECT_EQ(answer.second.status(), Screenshot::Status::taken) << answer.first;
    }
    EXPECT_TRUE(rig.source->takeScreenshotCalls().empty());
}

TEST(Screenshots, AnEncoderThatThrowsAnswersFailedAndFreesTheTurn) {
    ScreenViewSession::Environment environment;
    environment.screenshotEncoder = [](const BgraImage&, int, std::size_t, double) -> std::optional<Data> {
        throw std::invalid_argument("image size must be from 1 to 16384 per side");
    };
    SessionRig rig(ScreenViewSession::Configuration(2, 0.85), environment);
    for (std::uint32_t number = 1; number <= 5; ++number) {
        rig.handle(Message::ScreenshotRequest{ScreenshotRequest{number, 1, 800}});
    }
    auto calls = rig.source->takeScreenshotCalls();
    ASSERT_EQ(calls.size(), 4u);
    calls[0].completion(CapturedImage{solid(64, 36, 1, 2, 3)});
    rig.queue->drain();
    const auto answers = screenshots(rig.link.take());
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0], std::make_pair(1u, Screenshot(Screenshot::Status::failed)));
    EXPECT_EQ(rig.source->takeScreenshotCalls().size(), 1u);  // the fifth, waiting, now runs
}

TEST(Screenshots, NothingIsAnsweredForAClosedOrReleasedSession) {
    SessionRig rig;
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{1, 1, 800}});
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{2, 1, 800}});
    auto calls = rig.source->takeScreenshotCalls();
    rig.session->stop();
    rig.queue->drain();
    calls[0].completion(CapturedImage{solid(64, 36, 1, 2, 3)});
    rig.queue->drain();
    rig.session.reset();
    calls[1].completion(CapturedImage{solid(64, 36, 1, 2, 3)});
    rig.queue->drain();
    EXPECT_TRUE(rig.link.take().empty());
}

TEST(Screenshots, ScreenshotsWaitingAtTheSourceHoldNeitherTheSessionNorItsQueues) {
    SessionRig rig;
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{1, 1, 800}});
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{2, 2, 800}});
    auto calls = rig.source->takeScreenshotCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[0].wanted());
    const std::weak_ptr<platform::ManualExecutor> queue = rig.queue;
    rig.session->stop();
    rig.queue->drain();
    rig.session.reset();
    rig.queue.reset();
    // The phone left: what waits in the source's line is no longer wanted, and its session's queue (a
    // thread of its own in the process) went with the session.
    EXPECT_TRUE(queue.expired());
    EXPECT_FALSE(calls[0].wanted());
    calls[0].completion(CapturedImage{solid(64, 36, 1, 2, 3)});
    calls[1].completion(ScreenCaptureError::failed("no longer wanted"));
    EXPECT_TRUE(rig.link.take().empty());
}

TEST(Screenshots, LargeAnswersGoOutAFewPartsATimeOneAfterTheOther) {
    ScreenViewSession::Environment environment;
    environment.screenshotEncoder = [](const BgraImage& image, int, std::size_t,
                                       double) -> std::optional<Data> {
        // 40 parts for the wide display's answer, one for the other's.
        return Data(image.width() > 2000 ? 40 * TrackpadProtocol::ScreenDataPart::maxBytes - 100 : 10, 0xab);
    };
    SessionRig rig(ScreenViewSession::Configuration(2, 0.85), environment);
    rig.link.holdCompletions = true;
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{1, 2, 4000}});
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{2, 1, 400}});
    auto calls = rig.source->takeScreenshotCalls();
    ASSERT_EQ(calls.size(), 2u);
    calls[0].completion(CapturedImage{solid(4000, 2250, 1, 2, 3)});
    calls[1].completion(CapturedImage{solid(400, 225, 1, 2, 3)});
    rig.queue->drain();
    // Each send waits for the connection to take the one before it.
    std::vector<std::size_t> sendSizes;
    std::vector<Message> sent;
    for (int round = 0; round < 10; ++round) {
        auto batch = rig.link.take();
        if (batch.empty()) {
            break;
        }
        EXPECT_EQ(rig.link.heldCount(), 1u);
        sendSizes.push_back(batch.size());
        sent.insert(sent.end(), batch.begin(), batch.end());
        rig.link.completeOne();
        rig.queue->drain();
    }
    EXPECT_EQ(sendSizes, (std::vector<std::size_t>{16, 16, 9}));
    const auto answers = screenshots(sent);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].first, 1u);
    EXPECT_EQ(answers[1].first, 2u);
}

TEST(Screenshots, AnswersAPhoneDoesNotReadKeepTheirTurnsUntilTheConnectionTakesThem) {
    ScreenViewSession::Environment environment;
    environment.screenshotEncoder = [](const BgraImage&, int, std::size_t, double) -> std::optional<Data> {
        return Data(40 * TrackpadProtocol::ScreenDataPart::maxBytes, 0xab);
    };
    SessionRig rig(ScreenViewSession::Configuration(2, 0.85), environment);
    rig.link.holdCompletions = true;
    rig.source->setDisplays({display(1, 1920, 1080)});
    std::uint32_t number = 1;
    // The phone asks again whenever it may; the connection takes nothing.
    for (int round = 0; round < 5; ++round) {
        rig.handle(Message::ScreenshotRequest{ScreenshotRequest{number++, 1, 800}});
        for (auto& call : rig.source->takeScreenshotCalls()) {
            call.completion(CapturedImage{solid(64, 36, 1, 2, 3)});
        }
        rig.queue->drain();
    }
    rig.link.take();
    for (int request = 0; request < 20; ++request) {
        rig.handle(Message::ScreenshotRequest{ScreenshotRequest{number++, 1, 800}});
        EXPECT_TRUE(rig.source->takeScreenshotCalls().empty()) << request;
    }
    // Once the connection takes them, turns come back and the answers go out in order.
    std::vector<Message> sent;
    while (rig.link.completeOne()) {
        rig.queue->drain();
        auto batch = rig.link.take();
        sent.insert(sent.end(), batch.begin(), batch.end());
        for (auto& call : rig.source->takeScreenshotCalls()) {
            call.completion(CapturedImage{solid(64, 36, 1, 2, 3)});
        }
        rig.queue->drain();
    }
    const auto answers = screenshots(sent);
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().second.status(), Screenshot::Status::taken);
}

TEST(Screenshots, ALargeScreenshotIsTakenOnlyOnceThePhoneHasTheAnswersBeforeIt) {
    int encodings = 0;
    ScreenViewSession::Environment environment;
    environment.screenshotEncoder = [&encodings](const BgraImage&, int, std::size_t,
                                                 double) -> std::optional<Data> {
        ++encodings;
        return Data(40 * TrackpadProtocol::ScreenDataPart::maxBytes, 0xab);  // three sends
    };
    SessionRig rig(ScreenViewSession::Configuration(2, 0.85), environment);
    rig.link.holdCompletions = true;
    rig.source->setDisplays({display(1, 7680, 4320), display(2, 1920, 1080)});
    // Two full-size screenshots of the large display, then a thumbnail of the other, at once.
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{1, 1, 8192}});
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{2, 1, 8192}});
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{3, 2, 400}});
    auto calls = rig.source->takeScreenshotCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].pixelWidth, 7680);
    auto small = std::make_shared<BgraImage>(64, 36);
    calls[0].completion(CapturedImage{small});
    rig.queue->drain();
    EXPECT_EQ(encodings, 1);
    // While the connection has not taken the first answer whole, nothing more is captured or encoded:
    // the second waits its turn, and the thumbnail keeps its place behind it.
    std::vector<Message> sent = rig.link.take();
    for (int send = 1; send < 3; ++send) {
        ASSERT_TRUE(rig.link.completeOne());
        rig.queue->drain();
        EXPECT_TRUE(rig.source->takeScreenshotCalls().empty()) << send;
        auto batch = rig.link.take();
        sent.insert(sent.end(), batch.begin(), batch.end());
    }
    EXPECT_EQ(encodings, 1);
    ASSERT_TRUE(rig.link.completeOne());
    rig.queue->drain();
    // Then the second starts, and the thumbnail behind it.
    calls = rig.source->takeScreenshotCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].pixelWidth, 7680);
    EXPECT_EQ(calls[1].pixelWidth, 400);
    calls[1].completion(CapturedImage{small});
    calls[0].completion(CapturedImage{small});
    rig.queue->drain();
    while (rig.link.completeOne()) {
        rig.queue->drain();
    }
    auto rest = rig.link.take();
    sent.insert(sent.end(), rest.begin(), rest.end());
    EXPECT_EQ(encodings, 3);
    const auto answers = screenshots(sent);
    ASSERT_EQ(answers.size(), 3u);
    for (std::uint32_t number = 1; number <= 3; ++number) {
        const auto found = std::find_if(answers.begin(), answers.end(),
                                        [&](const auto& answer) { return answer.first == number; });
        ASSERT_NE(found, answers.end()) << number;
        EXPECT_EQ(found->second.status(), Screenshot::Status::taken) << number;
    }
    EXPECT_TRUE(rig.source->takeScreenshotCalls().empty());
}

TEST(Screenshots, ACaptureThatCompletesAfterTheSessionWentIsNotEncoded) {
    int encodings = 0;
    ScreenViewSession::Environment environment;
    environment.screenshotEncoder = [&encodings](const BgraImage&, int, std::size_t,
                                                 double) -> std::optional<Data> {
        ++encodings;
        return Data(10, 0xff);
    };
    SessionRig rig(ScreenViewSession::Configuration(2, 0.85), environment);
    rig.handle(Message::ScreenshotRequest{ScreenshotRequest{1, 1, 800}});
    auto calls = rig.source->takeScreenshotCalls();
    ASSERT_EQ(calls.size(), 1u);
    calls[0].completion(CapturedImage{solid(64, 36, 1, 2, 3)});  // the encoding is queued
    rig.session.reset();
    rig.queue->drain();
    EXPECT_EQ(encodings, 0);
    EXPECT_TRUE(rig.link.take().empty());
}

struct CountingEncoder {
    std::vector<std::pair<PixelSize, double>> calls;
    std::function<std::size_t(const BgraImage&, double)> size;
    ScreenshotImage::JpegEncoder encoder() {
        return [this](const BgraImage& image, double quality, std::size_t) -> ScreenshotImage::JpegEncoding {
            calls.push_back({{image.width(), image.height()}, quality});
            return {Data(size(image, quality), 0xff)};
        };
    }
};

TEST(ScreenshotImage, QualityLadderAndHalvings) {
    const auto image = solid(1000, 600, 1, 2, 3);
    {
        CountingEncoder counting;  // fits at once, no redraw when already small
        counting.size = [](const BgraImage&, double) { return std::size_t{100}; };
        EXPECT_TRUE(ScreenshotImage::jpeg(*image, 4000, 1000, 0.85, counting.encoder()));
        EXPECT_EQ(counting.calls, (std::vector<std::pair<PixelSize, double>>{{{1000, 600}, 0.85}}));
    }
    {
        CountingEncoder counting;  // never fits: 3 qualities, then 3 halvings of the fitted size at 0.6
        counting.size = [](const BgraImage&, double) { return std::size_t{2000}; };
        EXPECT_FALSE(ScreenshotImage::jpeg(*image, 500, 1000, 0.85, counting.encoder()));
        EXPECT_EQ(counting.calls, (std::vector<std::pair<PixelSize, double>>{{{500, 300}, 0.85},
                                                                             {{500, 300}, 0.6},
                                                                             {{500, 300}, 0.4},
                                                                             {{250, 150}, 0.6},
                                                                             {{125, 75}, 0.6},
                                                                             {{62, 37}, 0.6}}));
    }
    for (auto [quality, expected] :
         {std::pair{0.5, std::vector{0.5, 0.4}}, std::pair{0.3, std::vector{0.3}}}) {
        CountingEncoder counting;
        counting.size = [](const BgraImage& image, double) { return image.width() == 1000 ? 2000u : 10u; };
        EXPECT_TRUE(ScreenshotImage::jpeg(*image, 4000, 1000, quality, counting.encoder()));
        ASSERT_EQ(counting.calls.size(), expected.size() + 1);
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(counting.calls[i].second, expected[i]);
        }
    }
    {
        CountingEncoder counting;  // a 1x1 image over budget gives up without halving
        counting.size = [](const BgraImage&, double) { return std::size_t{2000}; };
        EXPECT_FALSE(ScreenshotImage::jpeg(*solid(1, 1, 0, 0, 0), 4000, 1000, 0.85, counting.encoder()));
        EXPECT_EQ(counting.calls.size(), 3u);
    }
}

TEST(ScreenshotImage, NoiseOverTheBudgetIsHalvedUntilItFits) {
    const auto image = noise(1024, 768);
    const Data whole = *ScreenshotImage::encodeJpeg(*image, 0.4);
    // A budget between the quarter-size and the half-size JPEG of noise.
    const Data half = *ScreenshotImage::encodeJpeg(*ScreenshotImage::resize(*image, 512, 384), 0.6);
    const Data quarter = *ScreenshotImage::encodeJpeg(*ScreenshotImage::resize(*image, 256, 192), 0.6);
    ASSERT_GT(whole.size(), half.size());
    ASSERT_GT(half.size(), quarter.size());
    const auto jpeg = ScreenshotImage::jpeg(*image, 8192, (half.size() + quarter.size()) / 2, 0.85);
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpegSize(*jpeg), (PixelSize{256, 192}));
    EXPECT_EQ(*jpeg, quarter);
    EXPECT_FALSE(ScreenshotImage::jpeg(*image, 8192, quarter.size() / 8, 0.85));
}

TEST(ScreenshotImage, ResizeAveragesAndKeepsColours) {
    const auto red = solid(640, 480, 0, 0, 255);
    const auto small = ScreenshotImage::resize(*red, 64, 48);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->row(20)[4 * 30 + 2], 255);
    EXPECT_EQ(small->row(20)[4 * 30 + 0], 0);
    EXPECT_FALSE(ScreenshotImage::resize(*red, 0, 48));
}

TEST(SystemScreenRecordingPermission, PromptsOnceWhateverTheCallers) {
    auto main = std::make_shared<platform::ManualExecutor>();
    std::atomic<bool> granted{true};
    std::atomic<int> prompts{0};
    SystemScreenRecordingPermission permission([&] { return granted.load(); }, [&] { prompts += 1; }, main);
    permission.request();  // granted: does not use up the single prompt
    permission.request();
    main->drain();
    EXPECT_EQ(prompts, 0);
    EXPECT_FALSE(permission.asked());

    granted = false;  // revoked
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            for (int j = 0; j < 100; ++j) {
                permission.request();
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(prompts, 0);  // only ever on the main executor
    main->drain();
    EXPECT_EQ(prompts, 1);
    EXPECT_TRUE(permission.asked());
    EXPECT_FALSE(permission.isGranted());
}

TEST(ScreenshotImage, BandScalerAveragesAreasAsResizeDoesWhateverTheBands) {
    const auto image = noise(97, 53);
    const auto reference = ScreenshotImage::resize(*image, 31, 17);
    ASSERT_TRUE(reference);
    for (int band : {1, 7, 53}) {
        auto scaler = ScreenshotImage::BandScaler::make(97, 53, 31, 17);
        ASSERT_TRUE(scaler);
        for (int top = 0; top < 53; top += band) {
            EXPECT_FALSE(scaler->finish());
            scaler->addRows(image->row(top), static_cast<std::size_t>(image->stride()),
                            std::min(band, 53 - top));
        }
        const auto scaled = scaler->finish();
        ASSERT_TRUE(scaled);
        int worst = 0;
        for (int y = 0; y < 17; ++y) {
            for (int x = 0; x < 31 * 4; ++x) {
                if (x % 4 != 3) {
                    worst = std::max(worst, std::abs(scaled->row(y)[x] - reference->row(y)[x]));
                }
            }
        }
        EXPECT_LE(worst, 2) << band;
    }
}

TEST(ScreenshotImage, BandScalerShrinksAnImageWiderThanAnyImageMayBe) {
    // 20000 x 40: the left quarter red, the rest blue, fed in bands of 16 rows.
    const int width = 20000;
    std::vector<std::uint8_t> band(static_cast<std::size_t>(width) * 4 * 16);
    for (int x = 0; x < width; ++x) {
        for (int y = 0; y < 16; ++y) {
            std::uint8_t* pixel = band.data() + (static_cast<std::size_t>(y) * width + x) * 4;
            pixel[0] = x < width / 4 ? 0 : 255;
            pixel[2] = x < width / 4 ? 255 : 0;
        }
    }
    EXPECT_FALSE(ScreenshotImage::BandScaler::make(width, 40, 16385, 40));
    auto scaler = ScreenshotImage::BandScaler::make(width, 40, 400, 1);
    ASSERT_TRUE(scaler);
    for (int top = 0; top < 40; top += 16) {
        scaler->addRows(band.data(), static_cast<std::size_t>(width) * 4, std::min(16, 40 - top));
    }
    const auto scaled = scaler->finish();
    ASSERT_TRUE(scaled);
    EXPECT_EQ(scaled->width(), 400);
    EXPECT_EQ(scaled->height(), 1);
    EXPECT_EQ(scaled->row(0)[4 * 10 + 2], 255);
    EXPECT_EQ(scaled->row(0)[4 * 10 + 0], 0);
    EXPECT_EQ(scaled->row(0)[4 * 300 + 0], 255);
    EXPECT_EQ(scaled->row(0)[4 * 300 + 2], 0);
}

}  // namespace
}  // namespace ScreenView::fakes
