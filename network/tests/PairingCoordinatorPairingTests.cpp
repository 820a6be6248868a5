#include <gtest/gtest.h>

#include <limits>

#include "network/FileTrustedDeviceStore.h"
#include "network/tests/CoordinatorHarness.h"

namespace CompanionNetwork {
namespace {

using namespace tests;
using TrackpadProtocol::Message;

TEST(PairingCoordinatorSetup, MissingListBecomesANewListSavedAtOnce) {
    Harness h;
    auto stored = h.store->stored();
    ASSERT_TRUE(stored);
    EXPECT_EQ(h.store->saveCount(), 1u);
    EXPECT_EQ(stored->hostID, h.coordinator.hostID());
    EXPECT_NE(stored->hostID, UUID{});
    EXPECT_EQ(stored->tlsPrivateKey, (Data{0x30, 0x01, 0x02}));
    EXPECT_TRUE(stored->devices.empty());
    EXPECT_EQ(h.coordinator.hostName(), "Studio");
}

TEST(PairingCoordinatorSetup, HostNameIsCutToWholeCharactersWithin255Bytes) {
    std::string name;
    for (int i = 0; i < 200; ++i)
        name += "é";  // 2 bytes each
    PairingCoordinator coordinator(
        std::make_shared<InMemoryTrustedDeviceStore>(), name, {}, [] { return referenceDate(); },
        std::make_shared<FakePairingSecurity>());
    EXPECT_EQ(coordinator.hostName().size(), 254u);
}

TEST(PairingCoordinatorSetup, UnusableListsThrowAndAreNeverSavedOver) {
    struct Case {
        const char* label;
        std::optional<TrustedDeviceStoreError> loadError;
        Data key;
        TrustedDeviceStoreError expected;
    };
    const std::vector<Case> cases = {
        {"damaged",
         TrustedDeviceStoreError::unreadable("not valid JSON at byte 3"),
         {},
         TrustedDeviceStoreError::unreadable("not valid JSON at byte 3")},
        {"newer",
         TrustedDeviceStoreError::unsupportedFormat(2),
         {},
         TrustedDeviceStoreError::unsupportedFormat(2)},
        {"bad key",
         std::nullopt,
         {0x99},
         TrustedDeviceStoreError::unreadable("the TLS key is not a usable P-256 private key")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TrustedDeviceList list;
        list.hostID = UUID::random();
        list.tlsPrivateKey = c.key;
        auto store = std::make_shared<InMemoryTrustedDeviceStore>(list);
        store->setLoadError(c.loadError);
        try {
            PairingCoordinator coordinator(
                store, "Studio", {}, [] { return referenceDate(); }, std::make_shared<FakePairingSecurity>());
            ADD_FAILURE() << "built";
        } catch (const TrustedDeviceStoreError& error) {
            EXPECT_EQ(error, c.expected);
        }
        EXPECT_EQ(store->saveCount(), 0u);
    }
}

TEST(PairingCoordinatorSetup, DamagedFileStaysByteForByte) {
    TemporaryFolder folder;
    auto store = std::make_shared<FileTrustedDeviceStore>(folder / "TrustedDevices.json");
    for (std::string text : {"{\"format\": 1, \"hostID\": 12}", "{\"format\": 7}"}) {
        writeText(store->url, text);
        EXPECT_THROW(
            PairingCoordinator(
                store, "Studio", {}, [] { return referenceDate(); }, std::make_shared<FakePairingSecurity>()),
            TrustedDeviceStoreError);
        EXPECT_EQ(readText(store->url), text);
    }
}

TEST(PairingCoordinatorPairing, CodeChallengeAndAcceptance) {
    Harness h;
    UUID phone = UUID::random();
    h.security->codes = {"042917"};

    Action challenge = h.requestPairing(1, phone, "Ana's iPhone");
    const auto* reply = challenge.as<Action::Reply>();
    ASSERT_TRUE(reply);
    Message::PairingChallenge expected{h.coordinator.hostID(), "Studio", {}, filled(1), 3};
    expected.sessionID.fill(1);
    EXPECT_EQ(reply->message, Message(expected));

    auto pending = h.coordinator.pendingPairing();
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->deviceID, phone);
    EXPECT_EQ(pending->deviceName, "Ana's iPhone");
    EXPECT_EQ(pending->code.digits(), "042917");
    EXPECT_EQ(pending->issuedAt, h.now);
    EXPECT_EQ(pending->expiresAt, h.now + std::chrono::seconds(120));
    EXPECT_EQ(pending->failedAttempts, 0);
    EXPECT_EQ(h.takeEvents(), std::vector<PairingEvent>{PairingEvent::PendingPairingChanged{pending}});

    h.advance(10);
    Action accepted = h.answer(1, phone, "042917");
    ASSERT_TRUE(accepted.as<Action::Reply>());
    const auto* message = accepted.as<Action::Reply>()->message.as<Message::PairingAccepted>();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->token, filled(0x41));
    EXPECT_EQ(message->confirmation, filled(0x81));

    TrustedDevice device{phone, "Ana's iPhone", h.now, std::nullopt, PairingToken(filled(0x41)).digest()};
    EXPECT_EQ(h.store->stored()->devices, std::vector<TrustedDevice>{device}) << "stored before it is sent";
    EXPECT_EQ(h.coordinator.trustedDevices(), std::vector<TrustedDevice>{device});
    EXPECT_FALSE(h.coordinator.pendingPairing());
    EXPECT_EQ(h.takeEvents(),
              (std::vector<PairingEvent>{finished(PairingOutcome::paired("Ana's iPhone")), pendingCleared(),
                                         PairingEvent::TrustedDevicesChanged{{device}}}));
}

TEST(PairingCoordinatorPairing, FailedSaveSendsNoToken) {
    Harness h;
    UUID phone = UUID::random();
    h.requestPairing(1, phone);
    h.store->setFailsSaves(true);
    h.takeEvents();
    EXPECT_EQ(h.answer(1, phone, "123456"), rejected(PairingRejection::failed));
    EXPECT_TRUE(h.coordinator.trustedDevices().empty());
    EXPECT_EQ(h.takeEvents(),
              (std::vector<PairingEvent>{finished(PairingOutcome::disconnected()), pendingCleared()}));
}

TEST(PairingCoordinatorPairing, ConfirmationFromAnotherChannelIsAWrongCode) {
    Harness h;
    UUID phone = UUID::random();
    h.requestPairing(1, phone);
    // The right code, but proven over connection 2's TLS channel: a relayed exchange.
    auto confirmation = FakePairingSecurity::phoneConfirmation("123456", exporterOf(2), phone);
    Action result = h.send(1, Message::PairingResponse{filled(1), confirmation});
    ASSERT_TRUE(result.as<Action::Reply>());
    EXPECT_TRUE(result.as<Action::Reply>()->message.is<Message::PairingChallenge>());
    EXPECT_EQ(h.coordinator.pendingPairing()->failedAttempts, 1);
}

TEST(PairingCoordinatorPairing, ThreeWrongCodesLockPairingOut) {
    Harness h;
    UUID phone = UUID::random();
    h.requestPairing(1, phone);
    h.takeEvents();

    struct Step {
        std::uint8_t attemptsLeft;
        int failedAttempts;
    };
    for (Step step : {Step{2, 1}, Step{1, 2}}) {
        h.advance(5);
        Action result = h.answer(1, phone, "999999");
        const auto* challenge = result.as<Action::Reply>()->message.as<Message::PairingChallenge>();
        ASSERT_TRUE(challenge);
        EXPECT_EQ(challenge->attemptsLeft, step.attemptsLeft);
        EXPECT_EQ(challenge->share, filled(static_cast<std::uint8_t>(step.failedAttempts + 1)))
            << "a fresh run";
        auto pending = h.coordinator.pendingPairing();
        EXPECT_EQ(pending->failedAttempts, step.failedAttempts);
        EXPECT_EQ(pending->code.digits(), "123456") << "the code stays";
        EXPECT_EQ(h.takeEvents(), std::vector<PairingEvent>{PairingEvent::PendingPairingChanged{pending}});
    }
    h.advance(5);
    EXPECT_EQ(h.answer(1, phone, "999999"), rejected(PairingRejection::lockedOut));
    EXPECT_EQ(h.takeEvents(),
              (std::vector<PairingEvent>{finished(PairingOutcome::wrongCodeLockout()), pendingCleared()}));
    EXPECT_FALSE(h.coordinator.pendingPairing());

    // Refused for the lockout, from any connection; the right code no longer helps.
    EXPECT_EQ(h.answer(1, phone, "123456"), rejected(PairingRejection::failed));
    for (double wait : {0.0, 10.0, 19.9}) {
        h.advance(wait);
        EXPECT_EQ(h.requestPairing(2, phone), rejected(PairingRejection::lockedOut));
    }
    h.advance(0.1);  // 30 s after the third wrong code
    EXPECT_TRUE(h.requestPairing(2, phone).as<Action::Reply>()->message.is<Message::PairingChallenge>());

    // The three failures still count within the failure window: the next wrong code locks out again.
    EXPECT_EQ(h.coordinator.pendingPairing()->failedAttempts, 0);
    EXPECT_EQ(h.answer(2, phone, "000000"), rejected(PairingRejection::lockedOut));
}

TEST(PairingCoordinatorPairing, WrongCodesOlderThanTheFailureWindowAreForgotten) {
    Harness h;
    UUID phone = UUID::random();
    h.requestPairing(1, phone);
    h.answer(1, phone, "000000");
    h.answer(1, phone, "000000");
    h.coordinator.cancelPairing();

    h.advance(599);
    h.requestPairing(1, phone);
    EXPECT_EQ(h.answer(1, phone, "000000"), rejected(PairingRejection::lockedOut)) << "within 600 s";

    h.advance(31);
    h.requestPairing(1, phone);
    h.advance(600);
    h.coordinator.cancelPairing();
    Action fresh = h.requestPairing(1, phone);
    EXPECT_EQ(fresh.as<Action::Reply>()->message.as<Message::PairingChallenge>()->attemptsLeft, 3);
    EXPECT_TRUE(h.answer(1, phone, "000000").as<Action::Reply>()->message.is<Message::PairingChallenge>());
}

TEST(PairingCoordinatorPairing, MoreThanTenRequestsInSixtySecondsAreRefused) {
    Harness h;
    UUID phone = UUID::random();
    // Repeats on one connection count, each one let through.
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(h.requestPairing(1, phone).as<Action::Reply>()->message.is<Message::PairingChallenge>())
            << i;
        h.advance(5);
    }
    EXPECT_EQ(h.requestPairing(1, phone), rejected(PairingRejection::rateLimited));  // t = 50
    h.advance(9.9);
    EXPECT_EQ(h.requestPairing(1, phone), rejected(PairingRejection::rateLimited));  // t = 59.9
    h.advance(0.1);  // the first request is now 60 s old
    EXPECT_TRUE(h.requestPairing(1, phone).as<Action::Reply>()->message.is<Message::PairingChallenge>());
    EXPECT_EQ(h.requestPairing(1, phone), rejected(PairingRejection::rateLimited));
}

TEST(PairingCoordinatorPairing, InfiniteOrHugeDurationsMeanAVeryLongTimeNotNoTimeAtAll) {
    for (const double seconds : {std::numeric_limits<double>::infinity(), 1e300}) {
        PairingCoordinator::Configuration configuration;
        configuration.codeLifetime = seconds;
        configuration.lockoutDuration = seconds;
        configuration.failureWindow = seconds;
        configuration.requestWindow = seconds;
        Harness h(configuration);
        UUID phone = UUID::random();
        EXPECT_TRUE(h.requestPairing(1, phone).as<Action::Reply>()->message.is<Message::PairingChallenge>());
        h.advance(3600);
        ASSERT_TRUE(h.coordinator.secondsUntilPairingExpires().has_value());
        EXPECT_GT(*h.coordinator.secondsUntilPairingExpires(), 0) << "the code has not expired";
        for (int i = 0; i < 3; ++i)
            h.answer(1, phone, "999999");
        EXPECT_EQ(h.requestPairing(1, phone), rejected(PairingRejection::lockedOut)) << "a long lockout";
    }
}

TEST(PairingCoordinatorPairing, BusyRefusalsDoNotUseUpTheRequestLimit) {
    Harness h;
    UUID phone = UUID::random(), hostile = UUID::random(), next = UUID::random();
    h.security->codes = {"111111", "222222"};
    h.requestPairing(1, phone);
    // A phone that keeps asking while another pairs is refused busy every time, and only that.
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(h.requestPairing(2, hostile), rejected(PairingRejection::busy)) << i;
    EXPECT_TRUE(h.answer(1, phone, "111111").as<Action::Reply>()->message.is<Message::PairingAccepted>());
    // The next phone can pair at once.
    EXPECT_TRUE(h.requestPairing(3, next).as<Action::Reply>()->message.is<Message::PairingChallenge>());
}

TEST(PairingCoordinatorPairing, RepeatOnTheSameConnectionKeepsTheCodeAnotherConnectionIsBusy) {
    Harness h;
    UUID phone = UUID::random(), other = UUID::random();
    h.security->codes = {"111111", "222222"};
    h.requestPairing(1, phone);
    h.advance(30);
    h.takeEvents();

    EXPECT_EQ(h.requestPairing(2, other), rejected(PairingRejection::busy));
    Action again = h.requestPairing(1, phone);
    EXPECT_EQ(again.as<Action::Reply>()->message.as<Message::PairingChallenge>()->share, filled(2));
    EXPECT_EQ(h.coordinator.pendingPairing()->code.digits(), "111111");
    EXPECT_EQ(h.coordinator.pendingPairing()->expiresAt, referenceDate(120))
        << "the code's life is not extended";
    EXPECT_TRUE(h.takeEvents().empty());
    EXPECT_TRUE(h.answer(1, phone, "111111").as<Action::Reply>()->message.is<Message::PairingAccepted>());
}

TEST(PairingCoordinatorPairing, RequestWithoutExporterOrWithFailingRandomnessIsRefused) {
    Harness h;
    UUID phone = UUID::random();
    EXPECT_EQ(h.coordinator.decide(ConnectionID{1}, Message::PairingRequest{phone, "P"}, {}),
              rejected(PairingRejection::failed));
    h.security->failsExchanges = true;
    EXPECT_EQ(h.requestPairing(1, phone), rejected(PairingRejection::failed));
    EXPECT_FALSE(h.coordinator.pendingPairing());
    EXPECT_TRUE(h.takeEvents().empty());
}

TEST(PairingCoordinatorPairing, ExpiryByTimerAndByLateMessages) {
    Harness h;
    UUID phone = UUID::random();
    EXPECT_FALSE(h.coordinator.secondsUntilPairingExpires());
    h.requestPairing(1, phone);
    h.takeEvents();
    EXPECT_DOUBLE_EQ(*h.coordinator.secondsUntilPairingExpires(), 120);

    h.advance(119.5);
    EXPECT_FALSE(h.coordinator.expirePairing()) << "a timer that fires early changes nothing";
    EXPECT_DOUBLE_EQ(*h.coordinator.secondsUntilPairingExpires(), 0.5);
    h.advance(0.5);
    EXPECT_EQ(
        h.coordinator.expirePairing(),
        (PairingCoordinator::Notice{ConnectionID{1}, Message::PairingRejected{PairingRejection::expired}}));
    EXPECT_EQ(h.takeEvents(),
              (std::vector<PairingEvent>{finished(PairingOutcome::expired()), pendingCleared()}));
    EXPECT_FALSE(h.coordinator.expirePairing());

    // The timer has not fired yet: the late answer learns of the expiry itself.
    h.requestPairing(1, phone);
    h.advance(121);
    EXPECT_EQ(h.answer(1, phone, "123456"), rejected(PairingRejection::expired));

    // Another phone asks after the code expired: the first is told, the second gets a new code.
    h.requestPairing(1, phone);
    h.advance(120);
    h.takeEvents();
    Action second = h.requestPairing(2, UUID::random());
    EXPECT_EQ(second.notices, (std::vector<PairingCoordinator::Notice>{
                                  {ConnectionID{1}, Message::PairingRejected{PairingRejection::expired}}}));
    EXPECT_TRUE(second.as<Action::Reply>()->message.is<Message::PairingChallenge>());
    auto events = h.takeEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], finished(PairingOutcome::expired()));
}

TEST(PairingCoordinatorPairing, CancelDeclineAndDisconnect) {
    struct Case {
        const char* label;
        std::function<std::optional<PairingCoordinator::Notice>(Harness&)> end;
        std::optional<PairingCoordinator::Notice> notice;
        PairingOutcome outcome;
    };
    const std::vector<Case> cases = {
        {"user cancels", [](Harness& h) { return h.coordinator.cancelPairing(); },
         PairingCoordinator::Notice{ConnectionID{1}, Message::PairingRejected{PairingRejection::declined}},
         PairingOutcome::cancelled()},
        {"phone cancels",
         [](Harness& h) {
             EXPECT_EQ(h.send(1, Message::PairingCancel{}), Action{});
             return std::optional<PairingCoordinator::Notice>();
         },
         std::nullopt, PairingOutcome::declined()},
        {"phone goes away",
         [](Harness& h) {
             h.coordinator.connectionClosed(ConnectionID{1});
             return std::optional<PairingCoordinator::Notice>();
         },
         std::nullopt, PairingOutcome::disconnected()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Harness h;
        h.requestPairing(1, UUID::random());
        EXPECT_EQ(h.send(2, Message::PairingCancel{}), Action{}) << "another connection cannot cancel it";
        h.coordinator.connectionClosed(ConnectionID{2});
        ASSERT_TRUE(h.coordinator.pendingPairing());
        h.takeEvents();
        EXPECT_EQ(c.end(h), c.notice);
        EXPECT_FALSE(h.coordinator.pendingPairing());
        EXPECT_EQ(h.takeEvents(), (std::vector<PairingEvent>{finished(c.outcome), pendingCleared()}));
        EXPECT_FALSE(h.coordinator.cancelPairing()) << "nothing left to cancel";
        EXPECT_TRUE(h.takeEvents().empty());
    }
}

TEST(PairingCoordinatorPairing, PairingAgainReplacesTheTokenAndEndsOldSessions) {
    Harness h;
    UUID phone = UUID::random(), other = UUID::random();
    Bytes32 oldToken = h.connect(1, phone);
    h.connect(2, other);
    h.openSession(3, phone, oldToken);
    h.advance(60);
    h.takeEvents();

    h.requestPairing(4, phone, "Renamed");
    Action accepted = h.answer(4, phone, "123456");
    EXPECT_EQ(accepted.endedSessions, (std::vector<ConnectionID>{ConnectionID{1}, ConnectionID{3}}));
    Bytes32 newToken = accepted.as<Action::Reply>()->message.as<Message::PairingAccepted>()->token;
    auto events = h.takeEvents();
    ASSERT_EQ(events.size(), 6u);  // pending, finished, pending cleared, trusted list, then:
    EXPECT_EQ(events[4], PairingEvent(PairingEvent::SessionsRevoked{phone}));
    EXPECT_EQ(events[5], PairingEvent(PairingEvent::ConnectedDevicesChanged{{other}}));

    auto devices = h.coordinator.trustedDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].id, phone) << "keeps its place";
    EXPECT_EQ(devices[0].name, "Renamed");
    EXPECT_EQ(devices[0].pairedAt, h.now);
    EXPECT_EQ(h.send(1, Message::Tap{1}), rejected(PairingRejection::notPaired));
    EXPECT_EQ(h.openSession(1, phone, oldToken), rejected(PairingRejection::notPaired));
    EXPECT_EQ(h.openSession(1, phone, newToken).openedSession, phone);
}

TEST(PairingCoordinatorPairing, EventsArriveAfterTheLockIsReleased) {
    Harness h;
    std::vector<std::size_t> seen;
    h.coordinator.setEventHandler([&](const PairingEvent&) {
        // Reading the coordinator from its own handler would deadlock if the lock were still held.
        seen.push_back(h.coordinator.trustedDevices().size());
        h.coordinator.pendingPairing();
    });
    h.pair(1, UUID::random());
    EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1, 1, 1}));
}

}  // namespace
}  // namespace CompanionNetwork
