#include "media/volume/VolumeController.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "media/volume/tests/FakeVolume.h"
#include "platform/LoopQueue.h"
#include "platform/ManualExecutor.h"
#include "testing/LoopThread.h"

namespace media {
namespace {

using fakes::FakeVolumeOSD;
using fakes::FakeVolumeProvider;
using TrackpadProtocol::Message;

struct Harness {
    explicit Harness(VolumeReading reading, bool withOSD = true) {
        auto fakeProvider = std::make_unique<FakeVolumeProvider>(reading);
        provider = fakeProvider.get();
        std::unique_ptr<FakeVolumeOSD> fakeOSD;
        if (withOSD) {
            fakeOSD = std::make_unique<FakeVolumeOSD>();
            osd = fakeOSD.get();
        }
        controller = std::make_shared<VolumeController>(std::move(fakeProvider), std::move(fakeOSD), queue);
        controller->setChangeHandler([this](VolumeStatus status) { reports.push_back(status); });
    }

    std::optional<VolumeStatus> send(const Message& message) {
        std::optional<VolumeStatus> answer;
        int answers = 0;
        EXPECT_TRUE(controller->handle(message, [&](VolumeStatus status) {
            answer = status;
            ++answers;
        }));
        queue.drain();
        EXPECT_EQ(answers, 1);
        return answer;
    }

    platform::ManualExecutor queue;
    FakeVolumeProvider* provider = nullptr;
    FakeVolumeOSD* osd = nullptr;
    std::shared_ptr<VolumeController> controller;
    std::vector<VolumeStatus> reports;
};

VolumeStatus status(int level, bool muted) {
    return VolumeStatus{static_cast<std::uint8_t>(level), muted, true};
}

TEST(VolumeControllerTest, SetVolumeClampsUnmutesAndKeepsMuteAtZero) {
    {
        Harness h({0.5, false});
        EXPECT_EQ(h.send(Message::SetVolume{150}), status(100, false));
        EXPECT_EQ(h.provider->calls().volumes, std::vector<double>{1.0});
    }
    {
        // Any level above 0 unmutes a muted output.
        Harness h({0.5, true});
        EXPECT_EQ(h.send(Message::SetVolume{30}), status(30, false));
        EXPECT_EQ(h.provider->calls().mutes, std::vector<bool>{false});
    }
    {
        Harness h({0.5, true});
        EXPECT_EQ(h.send(Message::SetVolume{0}), status(0, true));
        EXPECT_TRUE(h.provider->calls().mutes.empty());
    }
    {
        Harness h({0.5, false});
        EXPECT_EQ(h.send(Message::SetVolume{0}), status(0, false));
        EXPECT_TRUE(h.provider->calls().mutes.empty());
    }
}

TEST(VolumeControllerTest, DisplayShownOnlyForAVisibleChangeButTheVolumeIsSetAlways) {
    Harness h({0.40, false});
    h.send(Message::SetVolume{40});
    EXPECT_TRUE(h.osd->shown.empty());
    EXPECT_EQ(h.provider->calls().volumes, std::vector<double>{0.40});

    h.send(Message::SetVolume{41});
    ASSERT_EQ(h.osd->shown.size(), 1u);
    EXPECT_EQ(h.osd->shown[0].from, (VolumeReading{0.40, false}));
    EXPECT_EQ(h.osd->shown[0].to, (VolumeReading{0.41, false}));
}

TEST(VolumeControllerTest, SetMuteAfterAKeyPressPutsTheVolumeBackAndSetsMuteOnlyWhenNeeded) {
    Harness h({0.40, false});
    // The key press lowers the volume and mutes, as a desktop might.
    h.osd->press = [&](VolumeProvider&) { h.provider->set({0.34, true}); };
    EXPECT_EQ(h.send(Message::SetMute{true}), status(40, true));
    EXPECT_EQ(h.osd->shown.size(), 1u);
    EXPECT_EQ(h.provider->calls().volumes, std::vector<double>{0.40});
    EXPECT_TRUE(h.provider->calls().mutes.empty());

    // A press that moved nothing: the volume is left, the mute is set.
    Harness quiet({0.40, false});
    EXPECT_EQ(quiet.send(Message::SetMute{true}), status(40, true));
    EXPECT_TRUE(quiet.provider->calls().volumes.empty());
    EXPECT_EQ(quiet.provider->calls().mutes, std::vector<bool>{true});
}

TEST(VolumeControllerTest, UnknownVolumeOrMuteAppliesNothing) {
    Harness none({std::nullopt, false});
    EXPECT_EQ(none.send(Message::SetVolume{30}), VolumeStatus::unsupported);
    EXPECT_EQ(none.send(Message::SetMute{true}), VolumeStatus::unsupported);
    EXPECT_TRUE(none.provider->calls().volumes.empty());
    EXPECT_TRUE(none.osd->shown.empty());

    Harness noMute({0.5, std::nullopt});
    EXPECT_EQ(noMute.send(Message::SetMute{true}), status(50, false));
    EXPECT_TRUE(noMute.provider->calls().volumes.empty());
    EXPECT_TRUE(noMute.provider->calls().mutes.empty());
    // setVolume leaves an unknown mute alone and still shows a level change.
    EXPECT_EQ(noMute.send(Message::SetVolume{20}), status(20, false));
    EXPECT_TRUE(noMute.provider->calls().mutes.empty());
    EXPECT_EQ(noMute.osd->shown.size(), 1u);
}

TEST(VolumeControllerTest, OtherMessagesAreDeclinedAndScheduleNothing) {
    Harness h({0.5, false});
    bool called = false;
    EXPECT_FALSE(h.controller->handle(Message::Probe{}, [&](VolumeStatus) { called = true; }));
    EXPECT_EQ(h.queue.pendingTasks(), 0u);
    EXPECT_FALSE(called);
}

TEST(VolumeControllerTest, ReportsAreDeduplicatedAndAnAnswerThatChangesTheOutputIsBroadcastOnce) {
    Harness h({0.5, false});
    h.controller->start();
    h.controller->start();
    h.queue.drain();
    EXPECT_EQ(h.provider->calls().starts, 1);
    EXPECT_EQ(h.reports, std::vector<VolumeStatus>{status(50, false)});

    // An answer that changes nothing is not broadcast, nor is the notification that follows it.
    EXPECT_EQ(h.send(Message::VolumeStatusRequest{}), status(50, false));
    h.provider->change({0.5, false});
    h.queue.drain();
    EXPECT_EQ(h.reports.size(), 1u);

    // A phone's change reaches the others (and the status a new subscriber is told) once.
    h.send(Message::SetVolume{70});
    h.provider->change({0.7, false});
    h.queue.drain();
    EXPECT_EQ(h.reports, (std::vector<VolumeStatus>{status(50, false), status(70, false)}));

    // A change of 0.2 % keeps the level: nothing to report.
    h.provider->change({0.702, false});
    h.provider->change({0.3, false});
    h.queue.drain();
    EXPECT_EQ(h.reports,
              (std::vector<VolumeStatus>{status(50, false), status(70, false), status(30, false)}));
    EXPECT_EQ(h.controller->reportedStatus(), status(30, false));
}

TEST(VolumeControllerTest, StopSilencesAndRestartReportsAtOnce) {
    Harness h({0.5, false});
    h.controller->start();
    h.queue.drain();
    h.controller->stop();
    h.queue.drain();
    EXPECT_EQ(h.reports.size(), 1u);
    EXPECT_EQ(h.provider->calls().stops, 1);

    h.provider->change({0.8, false});
    h.queue.drain();
    EXPECT_EQ(h.reports.size(), 1u);

    // Requests are served while stopped.
    EXPECT_EQ(h.send(Message::SetVolume{20}), status(20, false));

    h.controller->start();
    h.queue.drain();
    EXPECT_EQ(h.reports, (std::vector<VolumeStatus>{status(50, false), status(20, false)}));
}

TEST(VolumeControllerTest, ReportsQueuedBehindARequestReadTheFinalState) {
    // A real queue, and a provider that fires from another thread while the display blocks the queue.
    platform::LoopQueue queue("volume-test");
    auto fakeProvider = std::make_unique<FakeVolumeProvider>(VolumeReading{0.5, false});
    FakeVolumeProvider* provider = fakeProvider.get();
    auto fakeOSD = std::make_unique<FakeVolumeOSD>();
    FakeVolumeOSD* osd = fakeOSD.get();
    auto controller = std::make_shared<VolumeController>(std::move(fakeProvider), std::move(fakeOSD), queue);
    std::mutex mutex;
    std::vector<VolumeStatus> reports;
    controller->setChangeHandler([&](VolumeStatus status) {
        std::lock_guard lock(mutex);
        reports.push_back(status);
    });
    controller->start();
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(mutex);
        return reports.size() == 1;
    }));

    osd->press = [&](VolumeProvider&) {
        // The key press moves the output in steps, each notified from another thread.
        std::thread presser([&] {
            provider->change({0.56, false});
            provider->change({0.62, false});
        });
        presser.join();
    };
    std::atomic<int> answers = 0;
    std::optional<VolumeStatus> answer;
    ASSERT_TRUE(controller->handle(Message::SetVolume{80}, [&](VolumeStatus status) {
        answer = status;
        ++answers;
    }));
    ASSERT_TRUE(testing_support::eventually([&] { return answers == 1; }));
    queue.sync([] {});
    EXPECT_EQ(answer, status(80, false));
    std::lock_guard lock(mutex);
    EXPECT_EQ(reports, (std::vector<VolumeStatus>{status(50, false), status(80, false)}));
}

TEST(VolumeControllerTest, VolumeKeysStepOnThePercentGridOnlyOnceAnOutputWasSeen) {
    Harness h({0.372, true});
    // Nothing seen yet: the key is left to the desktop.
    EXPECT_FALSE(h.controller->pressKey(VolumeController::VolumeKey::up));
    h.controller->start();
    h.queue.drain();
    EXPECT_TRUE(h.controller->pressKey(VolumeController::VolumeKey::up));
    h.queue.drain();
    EXPECT_TRUE(h.controller->pressKey(VolumeController::VolumeKey::down));
    h.queue.drain();
    EXPECT_TRUE(h.controller->pressKey(VolumeController::VolumeKey::mute));
    h.queue.drain();
    EXPECT_EQ(h.provider->calls().volumes, (std::vector<double>{0.42, 0.37}));
    EXPECT_EQ(h.provider->calls().mutes, std::vector<bool>{false});
    EXPECT_TRUE(h.osd->shown.empty());

    h.provider->set({0.98, false});
    h.controller->pressKey(VolumeController::VolumeKey::up);
    h.queue.drain();
    EXPECT_EQ(h.provider->calls().volumes.back(), 1.0);

    Harness absent(VolumeReading::unavailable);
    absent.controller->start();
    absent.queue.drain();
    EXPECT_FALSE(absent.controller->pressKey(VolumeController::VolumeKey::mute));
}

}  // namespace
}  // namespace media
