// The datagram road's defences, the per-device scroll clean-up, forgetting a phone, and the requests the
// listener hands to services (unlock, volume, apps, screen view) with their answers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "network/tests/integration/ListenerHarness.h"

namespace CompanionNetwork::tests {
namespace {

using TrackpadProtocol::ScrollPhase;
using TrackpadProtocol::UnlockResult;

TEST(ListenerDatagrams, AReplayedOrForgedDatagramIsDroppedAndTheNextGoodOneArrives) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone();
    const testing_support::Bytes sealed = phone->sendDatagram(Message::Move{1, 0});
    ASSERT_EQ(computer.waitForDelivered(1).size(), 1u);

    phone->sendSealed(sealed);  // replayed
    testing_support::Bytes forged = sealed;
    forged[20] ^= 0x01;  // the payload changed, the tag no longer fits
    phone->sendSealed(forged);
    testing_support::Bytes future = sealed;
    future[16] += 1;  // a fresh counter without the key
    phone->sendSealed(future);

    phone->sendDatagram(Message::Move{0, 7});
    const auto delivered = computer.waitForDelivered(2);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].message, Message(Message::Move{0, 7}));
    // Nothing else came through, even given time.
    phone->send(Message::Tap{1});
    EXPECT_EQ(computer.waitForDelivered(3).size(), 3u);
    EXPECT_EQ(computer.waitForDelivered(3)[2].message, Message(Message::Tap{1}));
}

TEST(ListenerDatagrams, ReliableOnlyMessagesAndUnlockRequestsAreNotTakenByDatagram) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone();
    phone->sendDatagram(Message::Tap{1});
    phone->sendDatagram(Message::UnlockRequest{{5, "secret"}});
    phone->sendDatagram(Message::Move{2, 2});
    const auto delivered = computer.waitForDelivered(1);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].message, Message(Message::Move{2, 2}));
    std::lock_guard lock(computer.mutex);
    EXPECT_TRUE(computer.unlocks.empty());
}

TEST(ListenerDatagrams, ADatagramProbeIsAnsweredOnTLS) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone();
    phone->sendDatagram(Message::Probe{77, true});
    const auto reply = phone->receiveCase<Message::ProbeReply>(5);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->number, 77u);
    EXPECT_TRUE(reply->viaDatagram);
}

TEST(ListenerDatagrams, TwoPhonesOnOneAddressKeepTheirOwnDevices) {
    ListenerHarness computer;
    computer.start();
    auto first = computer.sessionPhone("First");
    auto second = computer.sessionPhone("Second");
    first->sendDatagram(Message::Move{1, 1});
    computer.waitForDelivered(1);
    second->sendDatagram(Message::Move{2, 2});
    const auto delivered = computer.waitForDelivered(2);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].device, first->deviceID());
    EXPECT_EQ(delivered[1].device, second->deviceID());
}

TEST(ListenerScroll, AnIdleScrollIsClosedThroughOnCleanup) {
    ListenerHarness::Options options;
    options.configuration.scrollIdleTimeout = 0.2;
    ListenerHarness computer(options);
    computer.start();
    auto phone = computer.sessionPhone();
    phone->sendDatagram(Message::Scroll{0, 3, ScrollPhase::began, TrackpadProtocol::ScrollStamp{{1, 1}}});
    phone->sendDatagram(Message::Scroll{0, 4, ScrollPhase::changed, TrackpadProtocol::ScrollStamp{{1, 2}}});
    ASSERT_EQ(computer.waitForDelivered(2).size(), 2u);
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return !computer.cleanups.empty();
    }));
    std::lock_guard lock(computer.mutex);
    // (Had the two scrolls come further apart than the timeout, each would have been closed.)
    for (const Delivered& cleanup : computer.cleanups) {
        const auto* closing = cleanup.message.as<Message::Scroll>();
        ASSERT_NE(closing, nullptr);
        EXPECT_EQ(closing->phase, ScrollPhase::ended);
        EXPECT_EQ(cleanup.device, phone->deviceID());
    }
}

TEST(ListenerScroll, AClosedConnectionClosesItsPhonesScroll) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone();
    phone->sendDatagram(Message::Scroll{0, 3, ScrollPhase::began, std::nullopt});
    computer.waitForDelivered(1);
    phone->disconnect();
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.cleanups.size() == 1;
    }));
}

TEST(ListenerForget, ForgettingAPhoneClosesItsConnectionsAndItsDatagramsStop) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Forgotten");
    auto other = computer.sessionPhone("Kept");
    phone->sendDatagram(Message::Move{1, 1});
    computer.waitForDelivered(1);

    std::atomic<bool> done = false;
    std::optional<std::string> error = "not called";
    computer.listener->forgetDevice(phone->deviceID(), [&](std::optional<std::string> result) {
        error = result;
        done = true;
    });
    ASSERT_TRUE(testing_support::eventually([&] { return done.load(); }));
    EXPECT_FALSE(error.has_value());
    EXPECT_TRUE(phone->waitForClose(5));
    EXPECT_TRUE(phone->datagramFlowClosed(5));
    ASSERT_EQ(computer.coordinator->trustedDevices().size(), 1u);

    // A datagram sealed under the old session, on a fresh flow, goes nowhere; the other phone goes on.
    phone->connectDatagrams();
    phone->sendDatagram(Message::Move{9, 9});
    other->sendDatagram(Message::Move{3, 3});
    const auto delivered = computer.waitForDelivered(2);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].device, other->deviceID());
    // And the forgotten phone's token opens nothing any more.
    phone->connect();
    EXPECT_TRUE(std::holds_alternative<TrackpadProtocol::PhoneSession::Refused>(phone->openSession()));
}

TEST(ListenerForget, PairingAgainRevokesTheOldSessionAndItsDatagrams) {
    ListenerHarness computer;
    computer.start();
    auto old = computer.sessionPhone("Old");
    old->sendDatagram(Message::Move{1, 1});
    computer.waitForDelivered(1);

    testing_support::PhoneTestClient again(computer.endpoint, "Again", old->deviceID());
    again.connect();
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(again.requestPairing()));
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(
        again.enterCode(computer.waitForCode())));
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(again.openSession()));
    again.connectDatagrams();

    // The old connection stays, but without a session: neither channel delivers for it any more.
    old->sendDatagram(Message::Move{9, 9});
    old->send(Message::Tap{1});
    const auto rejected = old->receiveCase<Message::PairingRejected>(5);
    ASSERT_TRUE(rejected.has_value());
    EXPECT_EQ(rejected->reason, TrackpadProtocol::PairingRejection::notPaired);
    again.sendDatagram(Message::Move{3, 3});
    const auto delivered = computer.waitForDelivered(2);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[1].message, Message(Message::Move{3, 3}));
}

TEST(ListenerForget, AScreenViewEndsWhenItsSessionIsRevokedThoughTheConnectionStays) {
    ListenerHarness computer;
    computer.start();
    auto old = computer.sessionPhone("Old", false);
    old->send(Message::ScreenViewStart{{1, 1024, 30, TrackpadProtocol::ScreenVideoCodecs::h264}});
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.links.size() == 1;
    }));
    const ConnectionID viewing = computer.links[0].connection;

    testing_support::PhoneTestClient again(computer.endpoint, "Again", old->deviceID());
    again.connect();
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(again.requestPairing()));
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(
        again.enterCode(computer.waitForCode())));
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.screenViewsEnded.size() == 1;
    }));
    EXPECT_EQ(computer.screenViewsEnded[0], viewing);
    EXPECT_TRUE(old->isConnected());
    // Once only: the close that comes later has no view left to end.
    old->disconnect();
    computer.loop.call([] {});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard lock(computer.mutex);
    EXPECT_EQ(computer.screenViewsEnded.size(), 1u);
}

TEST(ListenerRequests, AnUnlockGetsOneResultAndItsCancellationFollowsTheConnection) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Phone", false);
    std::optional<UnlockResult> result;
    phone->requestUnlock("correct horse", [&](const UnlockResult& r) { result = r; });
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.unlocks.size() == 1;
    }));
    ListenerHarness::UnlockCall call;
    {
        std::lock_guard lock(computer.mutex);
        call = computer.unlocks[0];
    }
    EXPECT_EQ(call.request.password, "correct horse");
    EXPECT_EQ(call.device, phone->deviceID());
    // The unlocker answers from its own thread, twice by mistake: the phone hears one result.
    std::thread([&] {
        call.done(UnlockResult{call.request.number, UnlockResult::Status::unlocked});
        call.done(UnlockResult{call.request.number, UnlockResult::Status::busy});
    }).join();
    ASSERT_TRUE(phone->receiveCase<Message::UnlockResult>(5).has_value());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, UnlockResult::Status::unlocked);
    EXPECT_FALSE(phone->receiveCase<Message::UnlockResult>(0.2).has_value());

    phone->requestUnlock("second try", [](const UnlockResult&) {});
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.unlocks.size() == 2;
    }));
    std::shared_ptr<UnlockCancellation> pending;
    {
        std::lock_guard lock(computer.mutex);
        pending = computer.unlocks[1].cancellation;
    }
    EXPECT_FALSE(pending->isCancelled());
    phone->disconnect();
    EXPECT_TRUE(testing_support::eventually([&] { return pending->isCancelled(); }));
}

TEST(ListenerRequests, WithoutAnUnlockCallbackTheListenerAnswersNotAllowedAtOnce) {
    ListenerHarness::Options options;
    options.unlockCallback = false;
    options.volumeCallback = false;
    ListenerHarness computer(options);
    computer.start();
    auto phone = computer.sessionPhone("Phone", false);
    std::optional<UnlockResult> result;
    phone->requestUnlock("pw", [&](const UnlockResult& r) { result = r; });
    ASSERT_TRUE(phone->receiveCase<Message::UnlockResult>(5).has_value());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, UnlockResult::Status::notAllowed);

    phone->send(Message::VolumeStatusRequest{});
    const auto volume = phone->receiveCase<Message::VolumeStatus>(5);
    ASSERT_TRUE(volume.has_value());
    EXPECT_EQ(volume->status, TrackpadProtocol::VolumeStatus::unsupported);
}

TEST(ListenerRequests, VolumeAndAppRequestsAreAnsweredOnTheAskingConnection) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Phone", false);
    phone->send(Message::SetVolume{30});
    const auto volume = phone->receiveCase<Message::VolumeStatus>(5);
    ASSERT_TRUE(volume.has_value());
    EXPECT_EQ(volume->status.level, 40);
    phone->send(Message::OpenApp{"org.example.app"});
    const auto opened = phone->receiveCase<Message::OpenAppResult>(5);
    ASSERT_TRUE(opened.has_value());
    EXPECT_EQ(opened->result.status, TrackpadProtocol::OpenAppResult::Status::opened);
}

TEST(ListenerRequests, UpdatesArePushedToSessionsAndSubscribers) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Phone", false);
    ASSERT_TRUE(phone->receiveCase<Message::ControlStatus>(5).has_value());
    computer.listener->updateControlStatus(TrackpadProtocol::ControlStatus::accessibilityRequired);
    const auto control = phone->receiveCase<Message::ControlStatus>(5);
    ASSERT_TRUE(control.has_value());
    EXPECT_EQ(control->status, TrackpadProtocol::ControlStatus::accessibilityRequired);

    phone->send(Message::Subscribe{TrackpadProtocol::Subscriptions::volume});
    std::thread([&] { computer.listener->updateVolumeStatus({77, true, true}); }).join();
    const auto volume = phone->receiveUntil(
        [](const Message& m) {
            return m.is<Message::VolumeStatus>() && m.as<Message::VolumeStatus>()->status.level == 77;
        },
        5);
    EXPECT_TRUE(volume.has_value());
}

TEST(ListenerRequests, AScreenViewLinkSendsWhileTheSessionLastsAndEndsWithTheConnection) {
    ListenerHarness computer;
    computer.start();
    auto phone = computer.sessionPhone("Phone", false);
    phone->send(Message::ScreenDisplaysRequest{});
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.links.size() == 1;
    }));
    ScreenViewLink link;
    {
        std::lock_guard lock(computer.mutex);
        link = computer.links[0];
    }
    EXPECT_EQ(link.deviceID, phone->deviceID());

    std::atomic<int> completions = 0;
    // From another thread, as the screen-view host's queue would call it.
    std::thread([&] {
        link.send({Message::ScreenDisplays{}, Message::ScreenViewStatus{}}, [&] { ++completions; });
        link.send({}, [&] { ++completions; });
    }).join();
    EXPECT_TRUE(phone->receiveCase<Message::ScreenDisplays>(5).has_value());
    EXPECT_TRUE(phone->receiveCase<Message::ScreenViewStatus>(5).has_value());
    EXPECT_TRUE(testing_support::eventually([&] { return completions.load() == 2; }));

    phone->disconnect();
    ASSERT_TRUE(testing_support::eventually([&] {
        std::lock_guard lock(computer.mutex);
        return computer.screenViewsEnded.size() == 1;
    }));
    EXPECT_EQ(computer.screenViewsEnded[0], link.connection);
    computer.loop.call([&] { link.send({Message::ScreenViewStatus{}}, [&] { ++completions; }); });
    EXPECT_EQ(completions.load(), 3);
}

}  // namespace
}  // namespace CompanionNetwork::tests
