// The volume controller over a real PulseAudio with two null sinks, started by the test.
#include <gtest/gtest.h>

#include <signal.h>

#include <future>
#include <mutex>
#include <thread>

#include "media/volume/PulseAudioVolumeProvider.h"
#include "media/volume/VolumeController.h"
#include "platform/LoopQueue.h"
#include "testing/LoopThread.h"
#include "testing/PulseAudioSandbox.h"

namespace media {
namespace {

using testing_support::eventually;
using testing_support::PulseAudioSandbox;
using TrackpadProtocol::Message;

class PulseAudioVolumeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto reason = PulseAudioSandbox::unavailableReason()) {
            GTEST_SKIP() << "PulseAudio cannot run here: " << *reason;
        }
        server = std::make_unique<PulseAudioSandbox>();
        PulseAudioVolumeProvider::Options options;
        options.server = server->serverAddress();
        options.firstRetryDelay = std::chrono::milliseconds{100};
        options.maximumRetryDelay = std::chrono::milliseconds{400};
        options.operationTimeout = std::chrono::milliseconds{500};
        auto made = std::make_unique<PulseAudioVolumeProvider>(options);
        provider = made.get();
        controller = std::make_shared<VolumeController>(std::move(made), nullptr, queue);
        controller->setChangeHandler([this](VolumeStatus status) {
            std::lock_guard lock(mutex);
            reports.push_back(status);
        });
    }
    void TearDown() override {
        if (controller) {
            controller->stop();
            queue.sync([] {});
        }
    }

    VolumeStatus send(const Message& message) {
        std::promise<VolumeStatus> answer;
        EXPECT_TRUE(controller->handle(message, [&](VolumeStatus status) { answer.set_value(status); }));
        auto future = answer.get_future();
        EXPECT_EQ(future.wait_for(std::chrono::seconds{5}), std::future_status::ready);
        return future.get();
    }
    std::vector<VolumeStatus> reported() {
        std::lock_guard lock(mutex);
        return reports;
    }
    // Waits for `count` reports, then a little longer to see that no more follow.
    std::vector<VolumeStatus> settle(std::size_t count) {
        EXPECT_TRUE(eventually([&] { return reported().size() >= count; }))
            << "reports: " << reported().size();
        std::this_thread::sleep_for(std::chrono::milliseconds{300});
        return reported();
    }
    void startAndTakeFirstReport() {
        controller->start();
        ASSERT_EQ(settle(1), std::vector<VolumeStatus>{(VolumeStatus{100, false, true})});
    }

    std::unique_ptr<PulseAudioSandbox> server;
    platform::LoopQueue queue{"volume-test"};
    PulseAudioVolumeProvider* provider = nullptr;
    std::shared_ptr<VolumeController> controller;
    std::mutex mutex;
    std::vector<VolumeStatus> reports;
};

TEST_F(PulseAudioVolumeTest, SetsVolumeAndMuteOnTheDefaultSink) {
    EXPECT_EQ(send(Message::SetVolume{30}), (VolumeStatus{30, false, true}));
    EXPECT_EQ(server->volumePercent("test_sink"), 30);
    EXPECT_EQ(send(Message::SetMute{true}), (VolumeStatus{30, true, true}));
    EXPECT_TRUE(server->muted("test_sink"));
    // A level above 0 unmutes.
    EXPECT_EQ(send(Message::SetVolume{55}), (VolumeStatus{55, false, true}));
    EXPECT_FALSE(server->muted("test_sink"));
    EXPECT_EQ(server->volumePercent("test_sink"), 55);
    EXPECT_EQ(server->volumePercent("second_sink"), 100);
}

TEST_F(PulseAudioVolumeTest, KeepsTheBalanceAndNeverLowersAnAmplifiedSinkOnAMuteRoundTrip) {
    server->pactl({"set-sink-volume", "test_sink", "100%", "50%"});
    EXPECT_EQ(send(Message::SetVolume{40}), (VolumeStatus{40, false, true}));
    const std::string volume = server->pactl({"get-sink-volume", "test_sink"});
    EXPECT_NE(volume.find("/  40%"), std::string::npos) << volume;
    EXPECT_NE(volume.find("/  20%"), std::string::npos) << volume;

    server->pactl({"set-sink-volume", "test_sink", "150%"});
    EXPECT_EQ(send(Message::VolumeStatusRequest{}), (VolumeStatus{100, false, true}));
    EXPECT_EQ(send(Message::SetMute{true}), (VolumeStatus{100, true, true}));
    EXPECT_EQ(send(Message::SetMute{false}), (VolumeStatus{100, false, true}));
    EXPECT_EQ(server->volumePercent("test_sink"), 150);
}

TEST_F(PulseAudioVolumeTest, TheBalanceSurvivesZeroAndLowLevels) {
    server->pactl({"set-sink-volume", "test_sink", "80%", "40%"});
    EXPECT_EQ(send(Message::SetVolume{0}), (VolumeStatus{0, false, true}));
    for (std::uint8_t level : {1, 2, 1, 3, 80}) {
        send(Message::SetVolume{level});
    }
    const std::string volume = server->pactl({"get-sink-volume", "test_sink"});
    EXPECT_NE(volume.find("front-left: 52429 /  80%"), std::string::npos) << volume;
    EXPECT_NE(volume.find("front-right: 26215 /  40%"), std::string::npos) << volume;

    // A balance changed by someone else is taken as it is then.
    server->pactl({"set-sink-volume", "test_sink", "30%", "60%"});
    send(Message::SetVolume{0});
    send(Message::SetVolume{30});
    const std::string changed = server->pactl({"get-sink-volume", "test_sink"});
    EXPECT_NE(changed.find("/  15%"), std::string::npos) << changed;
    EXPECT_NE(changed.find("/  30%"), std::string::npos) << changed;
}

TEST_F(PulseAudioVolumeTest, AnOutsideChangeGivesOneReport) {
    startAndTakeFirstReport();
    server->pactl({"set-sink-volume", "test_sink", "42%"});
    EXPECT_EQ(settle(2).back(), (VolumeStatus{42, false, true}));
    EXPECT_EQ(reported().size(), 2u);
    server->pactl({"set-sink-mute", "test_sink", "1"});
    EXPECT_EQ(settle(3).back(), (VolumeStatus{42, true, true}));
    EXPECT_EQ(reported().size(), 3u);
}

TEST_F(PulseAudioVolumeTest, FollowsANewDefaultSinkAndIgnoresTheOldOne) {
    server->pactl({"set-sink-volume", "second_sink", "25%"});
    startAndTakeFirstReport();
    server->pactl({"set-default-sink", "second_sink"});
    EXPECT_EQ(settle(2).back(), (VolumeStatus{25, false, true}));

    server->pactl({"set-sink-volume", "test_sink", "10%"});
    EXPECT_EQ(settle(2).size(), 2u);
    EXPECT_EQ(send(Message::SetVolume{60}), (VolumeStatus{60, false, true}));
    EXPECT_EQ(server->volumePercent("second_sink"), 60);
    EXPECT_EQ(server->volumePercent("test_sink"), 10);
}

TEST_F(PulseAudioVolumeTest, ADefaultSinkThatDisappearsIsReplacedByTheServersNextChoice) {
    const std::string module = server->pactl({"load-module", "module-null-sink", "sink_name=passing_sink"});
    server->pactl({"set-default-sink", "passing_sink"});
    server->pactl({"set-sink-volume", "passing_sink", "33%"});
    controller->start();
    ASSERT_EQ(settle(1).back(), (VolumeStatus{33, false, true}));

    server->pactl({"unload-module", module.substr(0, module.find_first_of("\n"))});
    EXPECT_EQ(settle(2).back(), (VolumeStatus{100, false, true}));
    EXPECT_EQ(send(Message::SetVolume{45}), (VolumeStatus{45, false, true}));
    std::string fallback = server->pactl({"get-default-sink"});
    fallback.erase(fallback.find_last_not_of("\n") + 1);
    EXPECT_EQ(server->volumePercent(fallback), 45);
}

TEST_F(PulseAudioVolumeTest, AServerThatGoesAwayIsUnsupportedUntilItComesBack) {
    startAndTakeFirstReport();
    server->kill();
    EXPECT_EQ(settle(2).back(), VolumeStatus::unsupported);
    EXPECT_EQ(send(Message::SetVolume{30}), VolumeStatus::unsupported);

    server->start();
    EXPECT_TRUE(eventually([&] { return reported().size() >= 3; }, 10));
    EXPECT_EQ(reported().back(), (VolumeStatus{100, false, true}));
    EXPECT_TRUE(provider->isConnected());
    EXPECT_EQ(send(Message::SetVolume{30}), (VolumeStatus{30, false, true}));
    EXPECT_EQ(server->volumePercent("test_sink"), 30);
}

TEST_F(PulseAudioVolumeTest, AServerThatNeverAnswersCostsOnlyTheTimeOut) {
    startAndTakeFirstReport();
    ::kill(server->pid(), SIGSTOP);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(send(Message::SetVolume{30}), VolumeStatus::unsupported);
    // One time-out for the reading before applying, one for the answer's reading.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds{3});
    ::kill(server->pid(), SIGCONT);
    EXPECT_EQ(send(Message::SetVolume{30}), (VolumeStatus{30, false, true}));
    EXPECT_EQ(server->volumePercent("test_sink"), 30);
}

// The connection fails at once and its retry is being scheduled while the provider goes.
TEST(PulseAudioVolumeProviderTest, GoesSafelyWhileItsConnectionFails) {
    PulseAudioVolumeProvider::Options options;
    options.server = "unix:/nonexistent/lumivex-test/native";
    options.firstRetryDelay = std::chrono::milliseconds{1};
    for (int round = 0; round < 2000; ++round) {
        auto provider = std::make_unique<PulseAudioVolumeProvider>(options);
        std::this_thread::sleep_for(std::chrono::microseconds{round % 31 * 100});
        provider.reset();
    }
}

}  // namespace
}  // namespace media
