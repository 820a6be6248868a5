// The runtime's start and stop orders, the listener's lifecycle and its status texts, store problems and
// their reset, and the feeds.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "app/core/tests/RuntimeFakes.h"
#include "network/FileTrustedDeviceStore.h"
#include "platform/LogCapture.h"
#include "protocol/messages/LargePayloads.h"

namespace Shell::testing {
namespace {

using CompanionNetwork::ListenerState;

TEST(CompanionRuntime, StartsAndStopsServicesInTheirOrder) {
    RuntimeHarness h;
    h.runtime->start();
    EXPECT_EQ(h.take(),
              (Calls{"catalog.start", "screenLock.start", "network.makeCoordinator", "network.makeListener",
                     "listener.start", "nowPlaying.start", "volume.start"}));
    EXPECT_EQ(h.runtime->status.value(), Texts::starting);
    EXPECT_EQ(h.catalog->options.excludedBundleIDs, (std::set<std::string>{"dev.quelmar.trackpad.mac"}));
    EXPECT_EQ(h.catalog->options.excludedProcessID, 4242);
    EXPECT_EQ(h.catalog->options.iconByteBudget, 61440u);
    ASSERT_EQ(h.feeds.size(), 1u);
    EXPECT_EQ(h.feeds[0]->options.maxPixelSize, 360);

    // A second start does nothing.
    h.runtime->start();
    EXPECT_TRUE(h.take().empty());

    h.runtime->stop();
    EXPECT_EQ(h.take(),
              (Calls{"nowPlaying.stop", "volume.stop", "screenLock.stop", "catalog.stop", "notices.reset",
                     "listener.stop", "screenViews.stopAll", "input.retain 0", "gestures.retain 0",
                     "annotations.retain 0", "annotations.clear", "annotations.render",
                     "pictures.retainChoices", "pictures.retainOwners", "pictures.reset", "pictures.refresh",
                     "input.reset", "gestures.reset none", "highlight.hide"}));
    EXPECT_EQ(h.runtime->status.value(), Texts::stopped);
    EXPECT_FALSE(h.runtime->canRetry.value());

    // Started again: the kept listener restarts without a new coordinator, and a new feed is made.
    h.runtime->start();
    EXPECT_EQ(h.take(), (Calls{"catalog.start", "listener.runningApps", "screenLock.start", "listener.stop",
                               "listener.start", "nowPlaying.start", "volume.start"}));
    EXPECT_EQ(h.feeds.size(), 2u);
}

TEST(CompanionRuntime, FailuresRetryAfterGrowingDelaysUntilReady) {
    RuntimeHarness h;
    platform::LogCapture log;
    h.network.failuresLeft = 2;
    h.runtime->start();
    EXPECT_EQ(h.runtime->status.value(), "Unable to prepare Lumivex. Retrying in 1 seconds.");
    EXPECT_TRUE(h.runtime->canRetry.value());
    EXPECT_TRUE(log.contains("Lumivex listener failed: no entropy today"));

    h.executor.advance(0.999);
    EXPECT_FALSE(h.runtime->hasListener());
    h.executor.advance(0.001);
    EXPECT_EQ(h.runtime->status.value(), "Unable to prepare Lumivex. Retrying in 2 seconds.");
    h.executor.advance(2.0);
    ASSERT_TRUE(h.runtime->hasListener());
    EXPECT_EQ(h.runtime->status.value(), Texts::starting);
    EXPECT_FALSE(h.runtime->canRetry.value());

    // The listener fails: the delay goes on from 4; a waiting state keeps the retry and canRetry.
    auto listener = h.network.listener;
    listener->callbacks.onStateChange(ListenerState{ListenerState::Failed{"bind"}});
    EXPECT_EQ(h.runtime->status.value(),
              "Unable to listen on your local network. Check Wi-Fi or Ethernet. Retrying in 4 seconds.");
    listener->callbacks.onStateChange(ListenerState{ListenerState::Waiting{"no route"}});
    EXPECT_EQ(h.runtime->status.value(), Texts::waiting);
    EXPECT_TRUE(h.runtime->canRetry.value());
    h.take();
    h.executor.advance(4.0);
    EXPECT_EQ(h.take(), (Calls{"listener.stop", "listener.start"}));

    // Ready resets the delay; the next failure waits 1 s again.
    listener->callbacks.onStateChange(ListenerState{ListenerState::Ready{}});
    EXPECT_EQ(h.runtime->status.value(), Texts::available);
    EXPECT_EQ(h.runtime->retryDelay(), 1u);
    // Served but not advertised: the status says that browsing will not find it, and why.
    CompanionNetwork::ListenerDetails details;
    details.advertisementProblem = "the Avahi daemon is not running";
    listener->callbacks.onStateChange(ListenerState{ListenerState::Ready{details}});
    EXPECT_EQ(h.runtime->status.value(),
              "Available on your local network, but iPhones can't find this computer by browsing: the Avahi "
              "daemon is not running");
    listener->callbacks.onStateChange(ListenerState{ListenerState::Failed{"gone"}});
    EXPECT_EQ(h.runtime->status.value(),
              "Unable to listen on your local network. Check Wi-Fi or Ethernet. Retrying in 1 seconds.");

    // Retry at once resets the delay and cancels the pending retry.
    h.runtime->retry();
    EXPECT_EQ(h.runtime->retryDelay(), 1u);
    h.take();
    h.executor.advance(5.0);
    EXPECT_TRUE(h.take().empty());
    // Not retryable while starting.
    h.runtime->retry();
    EXPECT_TRUE(h.take().empty());
}

TEST(CompanionRuntime, DelaysDoubleUpToThirtySeconds) {
    RuntimeHarness h;
    h.network.failuresLeft = 100;
    h.runtime->start();
    std::vector<std::string> texts{h.runtime->status.value()};
    for (int i = 0; i < 6; ++i) {
        h.executor.runNextTimer();
        texts.push_back(h.runtime->status.value());
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::uint64_t expected[] = {1, 2, 4, 8, 16, 30, 30};
        EXPECT_EQ(texts[i], Texts::unableToPrepare(expected[i]));
    }
}

TEST(CompanionRuntime, NothingHappensAfterStop) {
    RuntimeHarness h;
    platform::LogCapture log;
    h.runtime->start();
    auto listener = h.network.listener;
    h.runtime->stop();
    listener->callbacks.onStateChange(ListenerState{ListenerState::Failed{"late"}});
    EXPECT_EQ(h.runtime->status.value(), Texts::stopped);
    EXPECT_FALSE(log.contains("late"));
    EXPECT_EQ(h.executor.pendingTimers(), 0u);

    // Feeds that report after stop are neither kept nor pushed.
    h.take();
    h.feeds[0]->options.onChange(TrackpadProtocol::NowPlaying("Song", "Band", std::nullopt));
    h.catalog->options.onChange(AppCatalogUpdate{TrackpadProtocol::AppListKind::running, {}});
    h.executor.drain();
    EXPECT_FALSE(h.runtime->nowPlaying());
    EXPECT_FALSE(h.runtime->runningApps());
    EXPECT_TRUE(h.take().empty());
    // A screen-lock change after stop is not forwarded.
    h.screenLock->onChange(true);
    EXPECT_EQ(listener->screenLockStatuses.size(), 0u);
}

TEST(CompanionRuntime, FeedsArePushedWhileRunning) {
    RuntimeHarness h;
    h.runtime->start();
    h.take();
    h.feeds[0]->options.onChange(TrackpadProtocol::NowPlaying("Song", "Band", std::nullopt));
    h.catalog->options.onChange(AppCatalogUpdate{TrackpadProtocol::AppListKind::installed, {}});
    h.catalog->options.onChange(AppCatalogUpdate{TrackpadProtocol::AppListKind::running, {}});
    h.executor.drain();
    EXPECT_EQ(h.take(), (Calls{"listener.nowPlaying", "listener.runningApps"}));
    ASSERT_TRUE(h.runtime->nowPlaying());
    EXPECT_EQ(h.runtime->nowPlaying()->title, "Song");
    h.volume->onChange(TrackpadProtocol::VolumeStatus{10, false, true});
    h.screenLock->onChange(true);
    EXPECT_EQ(h.take(), (Calls{"listener.volume"}));
    EXPECT_EQ(h.network.listener->screenLockStatuses,
              (std::vector{TrackpadProtocol::ScreenLockStatus::locked}));
}

TEST(CompanionRuntime, PermissionChangesResetInputAndTellPhones) {
    RuntimeHarness h;
    h.runtime->start();
    h.take();
    h.probe.trusted = false;
    h.permission.refresh();
    EXPECT_EQ(h.take(), (Calls{"annotations.clear", "annotations.render", "input.reset",
                               "gestures.reset none", "highlight.hide"}));
    h.probe.trusted = true;
    h.permission.refresh();
    EXPECT_EQ(h.network.listener->controlStatuses,
              (std::vector{TrackpadProtocol::ControlStatus::accessibilityRequired,
                           TrackpadProtocol::ControlStatus::ready}));
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override { h.network.dataHome = h.folder.path(); }
    std::filesystem::path storeFile() {
        return CompanionNetwork::FileTrustedDeviceStore::defaultURL(h.folder.path());
    }
    void write(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }
    static std::string read(const std::filesystem::path& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    RuntimeHarness h;
};

TEST_F(StoreTest, DamagedListIsReportedAndResetKeepsEveryOlderCopy) {
    platform::LogCapture log;
    write(storeFile(), "{ not json");
    // A copy of an earlier reset made in the same second must survive.
    const Date now = Date{} + std::chrono::hours(24 * 365 * 56);
    const auto earlier = CompanionNetwork::FileTrustedDeviceStore(storeFile()).quarantineURL(now, 1);
    write(earlier, "older damaged copy");

    h.runtime->start();
    EXPECT_EQ(h.runtime->status.value(), Texts::listDamaged);
    ASSERT_TRUE(h.runtime->storeProblem.value());
    EXPECT_EQ(h.runtime->storeProblem.value()->kind(), TrustedDeviceStoreError::Kind::unreadable);
    EXPECT_TRUE(h.runtime->canRetry.value());
    EXPECT_FALSE(h.runtime->hasListener());
    EXPECT_EQ(h.executor.pendingTimers(), 0u) << "no automatic retry for a damaged list";
    EXPECT_TRUE(log.contains("Lumivex paired iPhones list unusable: The paired iPhones list is damaged"));

    h.runtime->resetTrustedDevices();
    ASSERT_TRUE(h.runtime->storeBackupURL.value());
    const auto backup = *h.runtime->storeBackupURL.value();
    EXPECT_EQ(backup.filename().string().find("TrustedDevices.unreadable-"), 0u);
    EXPECT_NE(backup, earlier);
    EXPECT_EQ(read(backup), "{ not json");
    EXPECT_EQ(read(earlier), "older damaged copy");
    EXPECT_TRUE(h.runtime->hasListener());
    EXPECT_FALSE(h.runtime->storeProblem.value());
    EXPECT_TRUE(h.runtime->trustedDevices.value().empty());

    // Once a listener exists, reset does nothing.
    h.runtime->resetTrustedDevices();
    EXPECT_EQ(h.runtime->storeBackupURL.value(), backup);
}

TEST_F(StoreTest, NewerListIsNeverReset) {
    write(storeFile(), R"({"format": 99})");
    h.runtime->start();
    EXPECT_EQ(h.runtime->status.value(), Texts::listNeedsNewer);
    h.runtime->resetTrustedDevices();
    EXPECT_FALSE(h.runtime->storeBackupURL.value());
    EXPECT_EQ(read(storeFile()), R"({"format": 99})");
    // Retrying finds the same problem.
    h.runtime->retry();
    EXPECT_EQ(h.runtime->status.value(), Texts::listNeedsNewer);
}

TEST_F(StoreTest, FailedResetIsShownAndChangesNothingElse) {
    write(storeFile(), "damaged");
    h.runtime->start();
    h.network.quarantineFails = true;
    h.runtime->resetTrustedDevices();
    EXPECT_TRUE(h.runtime->storeResetError.value());
    EXPECT_FALSE(h.runtime->storeBackupURL.value());
    EXPECT_EQ(h.runtime->status.value(), Texts::listDamaged);
}

TEST(CompanionRuntime, ForgetWithoutListenerSaysSoAndWithdrawsThePhonesUnlocks) {
    RuntimeHarness h;
    const DeviceID phone = DeviceID::random();
    h.runtime->forget(phone);
    EXPECT_EQ(h.runtime->forgetError.value(), std::string(Texts::notRunning));

    h.runtime->start();
    h.network.listener->forgetFailure = "disk full";
    h.runtime->forget(phone);
    EXPECT_FALSE(h.runtime->forgetError.value());
    h.executor.drain();
    EXPECT_EQ(h.runtime->forgetError.value(), std::string("disk full"));
}

TEST(CompanionRuntime, AppRequestsAreAnsweredOnceEvenWhenAServiceFails) {
    RuntimeHarness h;
    h.runtime->start();
    std::vector<std::vector<Message>> replies;
    auto reply = [&](std::vector<Message> messages) { replies.push_back(std::move(messages)); };
    h.catalog->throws = true;
    h.runtime->answerAppRequest(Message{Message::AppsRequest{}}, DeviceID::random(), reply);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(replies[0].empty());

    h.runtime->answerAppRequest(Message{Message::OpenApp{"org.example.editor"}}, DeviceID::random(), reply);
    ASSERT_EQ(replies.size(), 2u);
    ASSERT_EQ(replies[1].size(), 1u);
    EXPECT_TRUE(replies[1][0].is<Message::OpenAppResult>());
    h.executor.drain();
    ASSERT_TRUE(h.runtime->openedApp.value());
    EXPECT_EQ(h.runtime->openedApp.value()->appName, "Editor");

    // After stop the reply still goes, but nothing is published.
    h.runtime->stop();
    h.runtime->answerAppRequest(Message{Message::OpenApp{"org.example.editor"}}, DeviceID::random(), reply);
    h.executor.drain();
    EXPECT_EQ(replies.size(), 3u);
    EXPECT_FALSE(h.runtime->openedApp.value());

    std::vector<TrackpadProtocol::VolumeStatus> volumes;
    h.runtime->answerVolumeRequest(Message{Message::SetMute{true}}, DeviceID::random(),
                                   [&](TrackpadProtocol::VolumeStatus status) { volumes.push_back(status); });
    EXPECT_EQ(volumes, (std::vector{TrackpadProtocol::VolumeStatus::unsupported}));
}

TEST(CompanionRuntime, APhonesFloodDelaysAnotherPhonesRequestsByOneAndAStopDropsTheBacklog) {
    RuntimeHarness h;
    h.holdAppWork = true;
    h.runtime->start();
    const DeviceID flood = DeviceID::random();
    const DeviceID honest = DeviceID::random();
    std::vector<std::string> answered;  // whose icon requests were answered, in order
    auto iconRequest = [&](const DeviceID& device, const std::string& who) {
        h.runtime->answerAppRequest(Message{Message::AppIconRequest{{"org.example.editor", 64}}}, device,
                                    [&answered, who](std::vector<Message>) { answered.push_back(who); });
    };
    for (int i = 0; i < 200; ++i) {
        iconRequest(flood, "flood");
    }
    // One is being answered, a line of 256 waits, and the rest is answered at once as unanswerable.
    for (int i = 0; i < 200; ++i) {
        iconRequest(flood, "flood");
    }
    EXPECT_EQ(h.heldAppWork.size(), 1u);
    EXPECT_EQ(answered.size(), 400u - 1 - 256);
    answered.clear();
    iconRequest(honest, "honest");
    for (int round = 0; round < 3; ++round) {
        auto work = std::exchange(h.heldAppWork, {});
        ASSERT_EQ(work.size(), 1u);
        work[0]();
        h.executor.drain();
    }
    EXPECT_EQ(answered, (std::vector<std::string>{"flood", "honest", "flood"}));

    // Screenshots: two are taken at once, and a phone's next once its connection has taken the answer
    // before it. An answer the phone leaves untaken holds up that phone alone.
    std::vector<CompanionNetwork::ScreenViewLink::Completion> untaken;
    const CompanionNetwork::ScreenViewLink floodLink{
        {}, flood, [&untaken](auto, auto taken) { untaken.push_back(std::move(taken)); }};
    const CompanionNetwork::ScreenViewLink honestLink{{7}, honest, [](auto, auto taken) { taken(); }};
    auto ask = [&](const CompanionNetwork::ScreenViewLink& link, std::uint32_t number) {
        h.runtime->handleScreenViewRequest(Message{Message::ScreenshotRequest{{number, 1, 400}}}, link);
    };
    auto answer = [&](std::size_t index) {
        const auto& [number, send] = h.screenViews->screenshots.at(index);
        send(TrackpadProtocol::Screenshot(TrackpadProtocol::Screenshot::Status::failed).messages(number),
             [] {});
        h.executor.drain();
    };
    for (std::uint32_t number = 1; number <= 3; ++number) {
        ask(floodLink, number);
    }
    ASSERT_EQ(h.screenViews->screenshots.size(), 1u);
    answer(0);
    EXPECT_EQ(h.screenViews->screenshots.size(), 1u) << "the flood's next waits until it reads";
    ask(honestLink, 11);
    ask(honestLink, 12);
    ASSERT_EQ(h.screenViews->screenshots.size(), 2u) << "the unread answer holds no place";
    EXPECT_EQ(h.screenViews->screenshots[1].first, 11u);
    answer(1);
    ASSERT_EQ(h.screenViews->screenshots.size(), 3u);
    EXPECT_EQ(h.screenViews->screenshots[2].first, 12u);
    answer(2);
    ASSERT_EQ(untaken.size(), 1u);
    untaken[0]();
    h.executor.drain();
    ASSERT_EQ(h.screenViews->screenshots.size(), 4u);
    EXPECT_EQ(h.screenViews->screenshots[3].first, 2u);
    // A connection that ends leaves its screenshots unanswered: their places are freed all the same, and
    // what it left waiting is dropped rather than handed to a screen view nobody will end again.
    ask(honestLink, 13);
    ASSERT_EQ(h.screenViews->screenshots.size(), 5u);
    ask(honestLink, 14);
    h.network.listener->callbacks.onScreenViewEnded(CompanionNetwork::ConnectionID{});
    h.executor.drain();
    EXPECT_EQ(h.screenViews->screenshots.size(), 5u) << "the departed phone's 3 was not handed on";
    answer(4);
    ASSERT_EQ(h.screenViews->screenshots.size(), 6u);
    EXPECT_EQ(h.screenViews->screenshots[5].first, 14u);

    // A stop drops what waits instead of serving it.
    h.runtime->stop();
    h.executor.drain();
    for (auto& work : std::exchange(h.heldAppWork, {})) {
        work();
    }
    h.executor.drain();
    EXPECT_TRUE(h.heldAppWork.empty()) << "nothing waiting was started after the stop";
}

TEST(CompanionRuntime, PhonesThatAskForAnIconAndLeaveQueueNoWorkBehindTheAnswerUnderWay) {
    RuntimeHarness h;
    h.holdAppWork = true;
    h.runtime->start();
    const DeviceID churn = DeviceID::random();
    const DeviceID honest = DeviceID::random();
    h.connect({honest});
    int churnReplies = 0;
    for (int session = 0; session < 50; ++session) {
        h.connect({honest, churn});
        h.runtime->answerAppRequest(Message{Message::AppIconRequest{{"org.example.slow", 64}}}, churn,
                                    [&churnReplies](std::vector<Message>) { ++churnReplies; });
        h.runtime->answerAppRequest(Message{Message::AppsRequest{}}, churn,
                                    [&churnReplies](std::vector<Message>) { ++churnReplies; });
        h.connect({honest});
        h.executor.drain();
    }
    // Only the first session's icon ever reached the app queue; what the others asked went with them.
    EXPECT_EQ(h.heldAppWork.size(), 1u);
    bool answered = false;
    h.runtime->answerAppRequest(Message{Message::AppIconRequest{{"org.example.editor", 64}}}, honest,
                                [&answered](std::vector<Message>) { answered = true; });
    EXPECT_EQ(h.heldAppWork.size(), 1u) << "the honest request waits for the answer under way";
    auto work = std::exchange(h.heldAppWork, {});
    work[0]();
    h.executor.drain();
    ASSERT_EQ(h.heldAppWork.size(), 1u);
    std::exchange(h.heldAppWork, {})[0]();
    h.executor.drain();
    EXPECT_TRUE(answered);
    EXPECT_TRUE(h.heldAppWork.empty());
    EXPECT_LE(churnReplies, 1) << "only the answer under way was worked out";
}

// A catalog whose answers take a while, counting them from the app queue.
struct SlowCatalog final : AppCatalogService {
    void start() override {}
    void stop() override {}
    std::vector<TrackpadProtocol::MacApp> runningApps() override { return {}; }
    std::optional<std::vector<Message>> answer(const Message&) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++answered;
        return std::nullopt;
    }
    std::atomic<int> answered{0};
};

TEST(CompanionRuntime, AStoppedRuntimeWorksThroughNoBacklogOfItsAppQueue) {
    RuntimeHarness h;
    auto catalog = std::make_shared<SlowCatalog>();
    CompanionServices services;
    services.makeAppCatalog = [catalog](AppCatalogService::Options) { return catalog; };
    // No app-work function given: the runtime answers on a queue of its own, as in the process.
    auto runtime = CompanionRuntime::create(CompanionRuntime::Dependencies{h.executor,
                                                                           h.network,
                                                                           h.permission,
                                                                           h.preferences,
                                                                           std::move(services),
                                                                           {},
                                                                           {},
                                                                           nullptr,
                                                                           "dev.quelmar.trackpad.mac",
                                                                           std::nullopt});
    runtime->start();
    const DeviceID flood = DeviceID::random();
    std::atomic<int> replies{0};
    for (int i = 0; i < 200; ++i) {
        runtime->answerAppRequest(Message{Message::AppIconRequest{{"org.example.editor", 64}}}, flood,
                                  [&replies](std::vector<Message>) { ++replies; });
    }
    runtime->stop();
    runtime.reset();
    // At most the answer under way when the stop came was worked out; none of the backlog.
    EXPECT_LE(catalog->answered, 1);
}

}  // namespace
}  // namespace Shell::testing
