#include <gtest/gtest.h>

#include "network/MessageRoutes.h"
#include "network/ServiceAnswers.h"
#include "network/tests/CoordinatorHarness.h"

namespace CompanionNetwork {
namespace {

using namespace tests;
using namespace TrackpadProtocol;
using M = TrackpadProtocol::Message;
using Notice = PairingCoordinator::Notice;
using Notification = PairingCoordinator::Notification;

std::vector<ConnectionID> ids(std::initializer_list<std::uint64_t> values) {
    std::vector<ConnectionID> result;
    for (auto v : values)
        result.push_back(ConnectionID{v});
    return result;
}

// The case's position in Message; descriptions belong to the codec.
std::string label(const M& message) {
    return "message case " + std::to_string(message.value.index());
}

M annotation(TrackpadProtocol::Annotation value) {
    return M::Annotation{std::move(value)};
}

// Every case only the computer sends.
std::vector<M> computerOnlyMessages() {
    return {M::PairingChallenge{}, M::PairingAccepted{}, M::PairingRejected{},
            M::SessionAccepted{},  M::ProbeReply{},      M::ControlStatus{},
            M::ScreenLockStatus{}, M::ScreenDisplays{},  M::ScreenViewStatus{},
            M::ScreenVideo{},      M::Screenshot{},      M::RunningApps{},
            M::InstalledApps{},    M::AppIcon{},         M::OpenAppResult{},
            M::VolumeStatus{},     M::NowPlaying{},      M::NowPlayingUnavailable{},
            M::UnlockResult{}};
}

TEST(PairingCoordinatorSessions, TokenMustMatchToOpenASession) {
    Harness h;
    UUID phone = UUID::random();
    Bytes32 token = h.pair(1, phone);
    h.advance(100);
    h.takeEvents();
    std::size_t saves = h.store->saveCount();

    Bytes32 wrong = token;
    wrong[31] ^= 1;
    for (const auto& [device, presented] : {std::pair{phone, wrong}, std::pair{UUID::random(), token}}) {
        EXPECT_EQ(h.openSession(2, device, presented), rejected(PairingRejection::notPaired));
        EXPECT_FALSE(h.coordinator.sessionDevice(ConnectionID{2}));
        EXPECT_EQ(h.send(2, M::Tap{1}), rejected(PairingRejection::notPaired));
    }
    EXPECT_TRUE(h.takeEvents().empty());
    EXPECT_EQ(h.store->saveCount(), saves);

    h.coordinator.updateControlStatus(ControlStatus::accessibilityRequired);
    Action accepted = h.openSession(2, phone, token);
    EXPECT_EQ(accepted.kind,
              Action::Kind(Action::Replies{{M::SessionAccepted{std::nullopt},
                                            M::ControlStatus{ControlStatus::accessibilityRequired}}}));
    EXPECT_EQ(accepted.openedSession, phone);
    EXPECT_EQ(h.coordinator.sessionDevice(ConnectionID{2}), phone);
    EXPECT_EQ(h.store->stored()->devices[0].lastConnectedAt, h.now);
    auto devices = h.coordinator.trustedDevices();
    EXPECT_EQ(h.takeEvents(), (std::vector<PairingEvent>{PairingEvent::TrustedDevicesChanged{devices},
                                                         PairingEvent::ConnectedDevicesChanged{{phone}}}));

    Action withFeatures = h.openSession(3, phone, token, true);
    EXPECT_EQ(withFeatures.as<Action::Replies>()->messages.front(), M(M::SessionAccepted{HostFeatures::all}));
    auto events = h.takeEvents();
    ASSERT_EQ(events.size(), 1u) << "the phone was already connected";
    EXPECT_TRUE(events[0].as<PairingEvent::TrustedDevicesChanged>());
}

TEST(PairingCoordinatorSessions, FailedSaveOfTheConnectionDateDoesNotRefuseTheSession) {
    Harness h;
    UUID phone = UUID::random();
    Bytes32 token = h.pair(1, phone);
    h.store->setFailsSaves(true);
    EXPECT_EQ(h.openSession(1, phone, token).openedSession, phone);
    EXPECT_EQ(h.coordinator.trustedDevices()[0].lastConnectedAt, h.now);
}

TEST(PairingCoordinatorSessions, NewSessionOnAConnectionReplacesTheOld) {
    Harness h;
    UUID a = UUID::random(), b = UUID::random();
    Bytes32 tokenA = h.connect(1, a);
    Bytes32 tokenB = h.pair(2, b);
    h.send(1, M::Subscribe{Subscriptions::nowPlaying});
    h.takeEvents();

    EXPECT_EQ(h.openSession(1, b, tokenB).openedSession, b);
    EXPECT_EQ(h.coordinator.sessionDevice(ConnectionID{1}), b);
    EXPECT_TRUE(h.coordinator.subscriptions(ConnectionID{1}).isEmpty())
        << "another phone's subscriptions end";
    EXPECT_EQ(h.takeEvents().back(), PairingEvent(PairingEvent::ConnectedDevicesChanged{{b}}));

    EXPECT_EQ(h.openSession(1, a, tokenA).openedSession, a);
    h.send(1, M::Subscribe{Subscriptions::nowPlaying});
    h.openSession(1, a, tokenA);
    EXPECT_EQ(h.coordinator.subscriptions(ConnectionID{1}), Subscriptions::nowPlaying)
        << "the same phone keeps them";
}

TEST(PairingCoordinatorSessions, RoutesOfMessagesWithAndWithoutASession) {
    struct Case {
        M message;
        Action::Kind withSession;  // the device is filled in below
    };
    UUID phone = UUID::random();
    UnlockRequest unlock{7, "hunter2"};
    const std::vector<Case> cases = {
        {M::Move{1, 2}, Action::Deliver{M::Move{1, 2}, phone}},
        {M::Tap{2}, Action::Deliver{M::Tap{2}, phone}},
        {M::RightClick{}, Action::Deliver{M::RightClick{}, phone}},
        {M::Text{"hi"}, Action::Deliver{M::Text{"hi"}, phone}},
        {M::MediaCommand{MediaCommand::mute}, Action::Deliver{M::MediaCommand{MediaCommand::mute}, phone}},
        {annotation({TrackpadProtocol::Annotation::Clear{}}),
         Action::Deliver{annotation({TrackpadProtocol::Annotation::Clear{}}), phone}},
        {M::PresentationImage{{PresentationImage::Close{}}},
         Action::Deliver{M::PresentationImage{{PresentationImage::Close{}}}, phone}},
        {M::AppsRequest{AppListKind::installed},
         Action::Answer{M::AppsRequest{AppListKind::installed}, phone}},
        {M::OpenApp{"org.example"}, Action::Answer{M::OpenApp{"org.example"}, phone}},
        {M::ScreenDisplaysRequest{}, Action::ScreenView{M::ScreenDisplaysRequest{}, phone}},
        {M::ScreenViewStop{}, Action::ScreenView{M::ScreenViewStop{}, phone}},
        {M::ScreenshotRequest{}, Action::ScreenView{M::ScreenshotRequest{}, phone}},
        {M::UnlockRequest{unlock}, Action::Unlock{unlock, phone}},
        {M::SetVolume{40}, Action::Volume{M::SetVolume{40}, phone}},
        {M::VolumeStatusRequest{}, Action::Volume{M::VolumeStatusRequest{}, phone}},
        {M::Unsubscribe{Subscriptions::volume}, Action::Ignore{}},
    };
    Harness h;
    Bytes32 token = h.pair(1, phone);
    for (const auto& c : cases) {
        SCOPED_TRACE(label(c.message));
        EXPECT_EQ(h.send(1, c.message), rejected(PairingRejection::notPaired));
    }
    h.openSession(1, phone, token);
    for (const auto& c : cases) {
        SCOPED_TRACE(label(c.message));
        EXPECT_EQ(h.send(1, c.message).kind, c.withSession);
    }
}

TEST(PairingCoordinatorSessions, ProbesAreAnsweredWithOrWithoutASession) {
    Harness h;
    EXPECT_EQ(h.send(1, M::Probe{9, false}), Action(Action::Reply{M::ProbeReply{9, false}}));
    UUID phone = UUID::random();
    h.connect(2, phone);
    EXPECT_EQ(h.send(2, M::Probe{10, false}), Action(Action::Reply{M::ProbeReply{10, false}}));
    EXPECT_EQ(h.sendDatagram(2, M::Probe{11, true}), Action(Action::Reply{M::ProbeReply{11, true}}));
}

TEST(PairingCoordinatorSessions, ComputerOnlyMessagesCloseTheConnection) {
    Harness h;
    UUID phone = UUID::random();
    h.connect(2, phone);
    for (const M& message : computerOnlyMessages()) {
        SCOPED_TRACE(label(message));
        EXPECT_EQ(routeOf(message), MessageRoute::computerOnly);
        EXPECT_TRUE(h.send(1, message).is<Action::Disconnect>()) << "without a session";
        EXPECT_TRUE(h.send(2, message).is<Action::Disconnect>()) << "with a session";
        EXPECT_EQ(h.sendDatagram(2, message), Action{}) << "never taken from a datagram";
    }
    EXPECT_EQ(computerOnlyMessages().size(), 19u);
}

TEST(PairingCoordinatorSessions, DatagramsCarryOnlyDatagramInputOfASession) {
    Harness h;
    UUID phone = UUID::random();
    using A = TrackpadProtocol::Annotation;
    M update = annotation({A::Update{1, 2, {0.5f, 0.5f}}});
    EXPECT_EQ(h.sendDatagram(1, M::Move{1, 1}), Action{}) << "no session";
    h.connect(1, phone);
    EXPECT_EQ(h.sendDatagram(1, M::Move{1, 1}), Action(Action::Deliver{M::Move{1, 1}, phone}));
    EXPECT_EQ(h.sendDatagram(1, update), Action(Action::Deliver{update, phone}));
    EXPECT_EQ(h.sendDatagram(1, M::Scroll{0, 3, ScrollPhase::changed, std::nullopt}),
              Action(Action::Deliver{M::Scroll{0, 3, ScrollPhase::changed, std::nullopt}, phone}));
    // Scrolls of every phase pass on to the device's scroll sequencer, whatever their transport: a
    // phone may send a stroke's end by datagram too, and dropping it would leave the stroke open.
    for (const ScrollPhase phase : {ScrollPhase::ended, ScrollPhase::momentumEnded}) {
        const M end = M::Scroll{0, 0, phase, TrackpadProtocol::ScrollStamp{{4, 9}}};
        EXPECT_EQ(h.sendDatagram(1, end), Action(Action::Deliver{end, phone}));
    }
    for (const M& reliable : {M(M::Tap{1}), M(M::UnlockRequest{{1, "secret"}}), M(M::AppsRequest{}),
                              M(M::Subscribe{}), M(M::PairingRequest{phone, "x"}), M(M::SessionRequest{})}) {
        SCOPED_TRACE(label(reliable));
        EXPECT_EQ(h.sendDatagram(1, reliable), Action{});
    }
}

TEST(PairingCoordinatorSessions, FeaturesNotOfferedAreIgnoredAndTheirRequestsAnsweredAsUnserved) {
    using A = TrackpadProtocol::Annotation;
    struct Case {
        HostFeatures missing;
        M message;
    };
    const std::vector<Case> cases = {
        {HostFeatures::annotations, annotation({A::Clear{}})},
        {HostFeatures::annotationUndo, annotation({A::Undo{3}})},
        {HostFeatures::annotationColors, annotation({A::Color{AnnotationColor::standard}})},
        {HostFeatures::presentationImages, M::PresentationImage{{PresentationImage::Close{}}}},
        {HostFeatures::apps, M::AppsRequest{}},
        {HostFeatures::apps, M::AppIconRequest{}},
        {HostFeatures::screenView, M::ScreenViewStart{}},
        {HostFeatures::screenView, M::ScreenDisplaysRequest{}},
        {HostFeatures::unlock, M::UnlockRequest{{1, "pw"}}},
        {HostFeatures::volume, M::SetMute{true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(label(c.message));
        PairingCoordinator::Configuration configuration;
        configuration.features.remove(c.missing);
        Harness h(configuration);
        UUID phone = UUID::random();
        h.connect(1, phone);
        // A request still gets an answer, the one an absent service gives; anything else is dropped.
        const std::vector<M> answer = unservedAnswer(c.message, ServiceFault::absent);
        if (answer.empty())
            EXPECT_EQ(h.send(1, c.message), Action{});
        else
            EXPECT_EQ(h.send(1, c.message), Action(Action::Replies{answer}));
        EXPECT_EQ(h.send(2, c.message), rejected(PairingRejection::notPaired))
            << "the session is checked first";
        Harness all;
        all.connect(1, phone);
        EXPECT_NE(all.send(1, c.message), Action{}) << "offered, it goes through";
    }
    // Undo and colours have bits of their own: strokes still work without them.
    PairingCoordinator::Configuration configuration;
    configuration.features = HostFeatures::annotations;
    Harness h(configuration);
    UUID phone = UUID::random();
    h.connect(1, phone);
    EXPECT_TRUE(h.send(1, annotation({A::Clear{}})).is<Action::Deliver>());
    EXPECT_EQ(h.sendDatagram(1, annotation({A::Update{1, 1, {}}})).is<Action::Deliver>(), true);
    EXPECT_EQ(h.send(1, annotation({A::Undo{1}})), Action{});
}

TEST(PairingCoordinatorSessions, SubscriptionsAndUpdatesReachTheRightConnections) {
    Harness h;
    UUID a = UUID::random(), b = UUID::random();
    Bytes32 tokenA = h.connect(1, a);
    h.connect(2, b);
    h.openSession(3, a, tokenA);
    // 4 has no session; 3 subscribes to nothing until later.

    EXPECT_TRUE(h.coordinator.updateVolumeStatus({40, false, true}).connections.empty());
    Action first = h.send(1, M::Subscribe{Subscriptions::nowPlaying | Subscriptions::volume});
    EXPECT_EQ(
        first.kind,
        Action::Kind(Action::Replies{{M::NowPlayingUnavailable{}, M::VolumeStatus{{40, false, true}}}}));
    Action second = h.send(2, M::Subscribe{Subscriptions::apps | Subscriptions::screenLock});
    EXPECT_EQ(second.kind, Action::Kind(Action::Replies{})) << "nothing known yet about apps or the lock";
    EXPECT_EQ(h.send(4, M::Subscribe{Subscriptions::nowPlaying}), rejected(PairingRejection::notPaired));

    NowPlaying song("Song", "Band", std::nullopt);
    EXPECT_EQ(h.coordinator.updateNowPlaying(song), (Notification{ids({1}), {M::NowPlaying{song}}}));
    EXPECT_EQ(h.coordinator.updateNowPlaying(std::nullopt),
              (Notification{ids({1}), {M::NowPlayingUnavailable{}}}));
    std::vector<MacApp> apps{{"org.example.a", "A", MacApp::State::active}};
    EXPECT_EQ(h.coordinator.updateRunningApps(apps),
              (Notification{ids({2}), {M::RunningApps{{apps, 0, 1}}}}));
    EXPECT_EQ(h.coordinator.updateScreenLockStatus(ScreenLockStatus::locked),
              (Notification{ids({2}), {M::ScreenLockStatus{ScreenLockStatus::locked}}}));
    EXPECT_EQ(h.coordinator.updateVolumeStatus({50, true, true}),
              (Notification{ids({1}), {M::VolumeStatus{{50, true, true}}}}));
    EXPECT_EQ(h.coordinator.updateControlStatus(ControlStatus::accessibilityRequired),
              (Notification{ids({1, 2, 3}), {M::ControlStatus{ControlStatus::accessibilityRequired}}}));

    // A later subscriber is told the current values at once.
    Action late = h.send(3, M::Subscribe{Subscriptions(0x0F)});
    EXPECT_EQ(late.kind,
              Action::Kind(Action::Replies{{M::NowPlayingUnavailable{}, M::RunningApps{{apps, 0, 1}},
                                            M::ScreenLockStatus{ScreenLockStatus::locked},
                                            M::VolumeStatus{{50, true, true}}}}));

    EXPECT_EQ(h.send(1, M::Unsubscribe{Subscriptions::volume}), Action{});
    EXPECT_EQ(h.coordinator.updateVolumeStatus({60, false, true}).connections, ids({3}));
    h.coordinator.connectionClosed(ConnectionID{3});
    EXPECT_EQ(h.coordinator.updateVolumeStatus({70, false, true}),
              (Notification{{}, {M::VolumeStatus{{70, false, true}}}}));
    EXPECT_EQ(h.coordinator.updateNowPlaying(song).connections, ids({1}));
}

TEST(PairingCoordinatorSessions, SubscriptionsToFeaturesNotOfferedAreIgnored) {
    PairingCoordinator::Configuration configuration;
    configuration.features = HostFeatures::annotations;
    Harness h(configuration);
    h.coordinator.updateVolumeStatus({40, false, true});
    h.coordinator.updateScreenLockStatus(ScreenLockStatus::unlocked);
    h.coordinator.updateRunningApps({});
    h.connect(1, UUID::random());
    Action reply = h.send(1, M::Subscribe{Subscriptions(0x0F)});
    EXPECT_EQ(reply.kind, Action::Kind(Action::Replies{{M::NowPlayingUnavailable{}}}));
    EXPECT_EQ(h.coordinator.subscriptions(ConnectionID{1}), Subscriptions::nowPlaying);
    EXPECT_TRUE(h.coordinator.updateVolumeStatus({1, false, true}).connections.empty());
    EXPECT_TRUE(h.coordinator.updateRunningApps({}).connections.empty());
}

TEST(PairingCoordinatorSessions, ForgetRevokesEverySessionOfThePhone) {
    Harness h;
    UUID a = UUID::random(), b = UUID::random();
    Bytes32 tokenA = h.connect(1, a);
    h.connect(2, b);
    h.openSession(3, a, tokenA);
    h.send(3, M::Subscribe{Subscriptions::nowPlaying});
    h.takeEvents();

    auto result = h.coordinator.forgetDevice(a);
    EXPECT_EQ(result.connections, ids({1, 3}));
    EXPECT_FALSE(result.error);
    auto remaining = h.coordinator.trustedDevices();
    ASSERT_EQ(remaining.size(), 1u);
    EXPECT_EQ(remaining[0].id, b);
    EXPECT_EQ(h.store->stored()->devices, remaining);
    EXPECT_EQ(h.takeEvents(), (std::vector<PairingEvent>{PairingEvent::TrustedDevicesChanged{remaining},
                                                         PairingEvent::SessionsRevoked{a},
                                                         PairingEvent::ConnectedDevicesChanged{{b}}}));
    EXPECT_EQ(h.send(1, M::Move{1, 1}), rejected(PairingRejection::notPaired));
    EXPECT_EQ(h.sendDatagram(3, M::Move{1, 1}), Action{});
    EXPECT_TRUE(h.coordinator.updateNowPlaying(std::nullopt).connections.empty());
    EXPECT_EQ(h.openSession(1, a, tokenA), rejected(PairingRejection::notPaired));

    EXPECT_EQ(h.coordinator.forgetDevice(a).connections, ids({})) << "already forgotten";
    EXPECT_TRUE(h.takeEvents().empty());
}

TEST(PairingCoordinatorSessions, ForgetStillRevokesWhenTheListCannotBeSaved) {
    Harness h;
    UUID a = UUID::random();
    Bytes32 token = h.connect(1, a);
    h.store->setFailsSaves(true);
    auto result = h.coordinator.forgetDevice(a);
    EXPECT_TRUE(result.error);
    EXPECT_EQ(result.connections, ids({1}));
    EXPECT_TRUE(h.coordinator.trustedDevices().empty());
    EXPECT_EQ(h.openSession(2, a, token), rejected(PairingRejection::notPaired));
}

TEST(PairingCoordinatorSessions, ClosedConnectionEndsItsSession) {
    Harness h;
    UUID a = UUID::random();
    Bytes32 token = h.connect(1, a);
    h.openSession(2, a, token);
    h.takeEvents();
    EXPECT_EQ(h.coordinator.connectionClosed(ConnectionID{1}), a);
    EXPECT_TRUE(h.takeEvents().empty()) << "still connected through connection 2";
    EXPECT_EQ(h.coordinator.connectionClosed(ConnectionID{2}), a);
    EXPECT_EQ(h.takeEvents(), std::vector<PairingEvent>{PairingEvent::ConnectedDevicesChanged{{}}});
    EXPECT_EQ(h.coordinator.connectionClosed(ConnectionID{2}), std::nullopt);
    EXPECT_TRUE(h.coordinator.connectedDevices().empty());
}

}  // namespace
}  // namespace CompanionNetwork
