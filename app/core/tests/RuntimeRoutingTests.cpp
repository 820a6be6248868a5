// Input ownership, the pairing coordinator's events and unlock admission.
#include <gtest/gtest.h>

#include "app/core/tests/RuntimeFakes.h"
#include "platform/LogCapture.h"

namespace Shell::testing {
namespace {

using Status = TrackpadProtocol::UnlockResult::Status;

const Message move{Message::Move{1, 1}};

class RoutingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        h.runtime->start();
        h.connect({a, b});
        h.take();
    }
    RuntimeHarness h;
    DeviceID a = DeviceID::random();
    DeviceID b = DeviceID::random();
};

TEST_F(RoutingTest, ControlPassesToTheSendingPhoneWithAReset) {
    h.runtime->handleMessage(move, a);
    EXPECT_EQ(h.take(), (Calls{"input.controller " + shortID(a), "input.reset", "gestures.reset none",
                               "highlight.hide", "input.handle"}));
    h.runtime->handleMessage(move, a);
    EXPECT_EQ(h.take(), (Calls{"input.handle"})) << "the controller's next message resets nothing";

    h.runtime->handleMessage(Message{Message::KeyCombination{}}, b);
    EXPECT_EQ(h.take(),
              (Calls{"input.controller " + shortID(b), "input.reset", "gestures.reset " + shortID(a),
                     "highlight.hide", "input.handle", "gestures.handle"}));
    EXPECT_EQ(h.runtime->controller(), b);
}

TEST_F(RoutingTest, HeldBackInputAndOverlaysNeverTakeControl) {
    h.runtime->handleMessage(move, a);
    h.take();
    h.input->holdBack = true;
    h.runtime->handleMessage(move, b);
    h.input->holdBack = false;
    h.runtime->handleMessage(
        Message{Message::Annotation{TrackpadProtocol::Annotation{TrackpadProtocol::Annotation::Clear{}}}}, b);
    h.runtime->handleMessage(Message{Message::PresentationImage{}}, b);
    h.runtime->handleMessage(Message{Message::ScreenViewStop{}}, b);
    h.runtime->handleMessage(Message{Message::ScreenDisplaysRequest{}}, b);
    EXPECT_EQ(h.take(),
              (Calls{"annotations.handle", "pictures.handle", "annotations.observe", "pictures.observe"}));
    EXPECT_EQ(h.runtime->controller(), a);
}

TEST_F(RoutingTest, CleanupCountsOnlyForTheController) {
    h.runtime->handleMessage(move, a);
    h.take();
    const Message scrollEnd{Message::Scroll{0, 0, TrackpadProtocol::ScrollPhase::ended, std::nullopt}};
    h.runtime->handleCleanupMessage(scrollEnd, b);
    EXPECT_TRUE(h.take().empty());
    h.runtime->handleCleanupMessage(scrollEnd, a);
    EXPECT_EQ(h.take(), (Calls{"input.handle"}));
    h.probe.trusted = false;
    h.runtime->handleCleanupMessage(scrollEnd, a);
    EXPECT_TRUE(h.take().empty()) << "dropped without a reset";
}

TEST_F(RoutingTest, InputWithoutAccessibilityIsDroppedAndResetsEverything) {
    h.runtime->handleMessage(move, a);
    h.take();
    h.probe.trusted = false;
    h.runtime->handleMessage(move, a);
    // The message's own reset, then the permission's change (published by the refresh) resets again.
    EXPECT_EQ(h.take(), (Calls{"annotations.clear", "annotations.render", "input.reset",
                               "gestures.reset " + shortID(a), "highlight.hide", "annotations.clear",
                               "annotations.render", "input.reset", "gestures.reset none", "highlight.hide"}));
    EXPECT_FALSE(h.runtime->controller());
    EXPECT_EQ(h.permission.currentStatus(), AccessibilityStatus::missing);
    // A colour still applies.
    h.runtime->handleMessage(
        Message{Message::Annotation{TrackpadProtocol::Annotation{TrackpadProtocol::Annotation::Color{}}}}, b);
    EXPECT_EQ(h.take(), (Calls{"annotations.handle"}));
}

TEST_F(RoutingTest, ADepartedControllerIsCleanedUpEverywhere) {
    h.runtime->handleMessage(move, a);
    h.preferences.setAllowsUnlockFromIPhone(true);
    auto cancelA = std::make_shared<CompanionNetwork::UnlockCancellation>();
    auto cancelB = std::make_shared<CompanionNetwork::UnlockCancellation>();
    h.runtime->handleUnlockRequest({1, "secret"}, a, cancelA, [](TrackpadProtocol::UnlockResult) {});
    h.runtime->handleUnlockRequest({2, "secret"}, b, cancelB, [](TrackpadProtocol::UnlockResult) {});
    h.take();

    h.connect({b});
    EXPECT_EQ(h.take(), (Calls{"input.retain 1", "gestures.retain 1", "annotations.retain 1",
                               "pictures.retainChoices", "pictures.retainOwners", "input.reset",
                               "gestures.reset " + shortID(a), "highlight.hide", "notices.changed 1"}));
    EXPECT_FALSE(h.runtime->controller());
    EXPECT_TRUE(cancelA->isCancelled());
    EXPECT_FALSE(cancelB->isCancelled());
    EXPECT_EQ(h.runtime->unlockAttemptCount(), 1u);
    EXPECT_EQ(h.runtime->connectedDevices.value(), (std::set<DeviceID>{b}));

    // The next phone that sends input takes control.
    h.runtime->handleMessage(move, b);
    EXPECT_EQ(h.runtime->controller(), b);
    h.take();
    // A revoked phone goes the same way, without a notice or a change of the connected set.
    h.event(PairingEvent::SessionsRevoked{b});
    EXPECT_EQ(h.take(),
              (Calls{"input.forget " + shortID(b), "gestures.forget " + shortID(b),
                     "annotations.remove " + shortID(b), "pictures.removeChoice", "pictures.removeOwner",
                     "pictures.refresh", "input.reset", "gestures.reset " + shortID(b), "highlight.hide"}));
    EXPECT_TRUE(cancelB->isCancelled());
    EXPECT_EQ(h.runtime->connectedDevices.value(), (std::set<DeviceID>{b}));
}

TEST_F(RoutingTest, PairingEventsFoldIntoTheProgress) {
    CompanionNetwork::PendingPairing pending{
        a, "Phone", *TrackpadProtocol::PairingCode::fromDigits("123456"), {}, {}, 0};
    int progressChanges = 0;
    auto subscription =
        h.runtime->pairingProgress.subscribe([&](const PairingProgress&) { ++progressChanges; });
    h.event(PairingEvent::PendingPairingChanged{pending});
    EXPECT_EQ(h.runtime->pairingProgress.value(), PairingProgress::waiting(pending));
    EXPECT_EQ(h.runtime->pendingPairing.value(), pending);
    h.event(PairingEvent::TrustedDevicesChanged{});
    EXPECT_EQ(progressChanges, 1);
    h.event(PairingEvent::PairingFinished{CompanionNetwork::PairingOutcome::paired("Phone")});
    h.event(PairingEvent::PendingPairingChanged{std::nullopt});
    EXPECT_EQ(h.runtime->pairingProgress.value(), PairingProgress::succeeded("Phone"));
    EXPECT_FALSE(h.runtime->pendingPairing.value());
    EXPECT_TRUE(h.runtime->clearFinishedPairing());
    EXPECT_EQ(h.runtime->pairingProgress.value(), PairingProgress::idle());
    EXPECT_FALSE(h.runtime->clearFinishedPairing());
}

struct UnlockAnswers {
    std::vector<TrackpadProtocol::UnlockResult> results;
    CompanionNetwork::CompanionListener::UnlockCompletion completion() {
        return [this](TrackpadProtocol::UnlockResult result) { results.push_back(result); };
    }
};

TEST_F(RoutingTest, UnlockChecksConsentThenWithdrawalThenAccessibility) {
    platform::LogCapture log;
    UnlockAnswers answers;
    auto cancelled = std::make_shared<CompanionNetwork::UnlockCancellation>();
    cancelled->cancel();
    h.probe.trusted = false;

    h.runtime->handleUnlockRequest({7, "pw"}, a, cancelled, answers.completion());
    h.preferences.setAllowsUnlockFromIPhone(true);
    h.runtime->handleUnlockRequest({8, "pw"}, a, cancelled, answers.completion());
    h.runtime->handleUnlockRequest({9, "pw"}, a, std::make_shared<CompanionNetwork::UnlockCancellation>(),
                                   answers.completion());
    EXPECT_EQ(answers.results,
              (std::vector<TrackpadProtocol::UnlockResult>{
                  {7, Status::notAllowed}, {8, Status::notAllowed}, {9, Status::accessibilityRequired}}));
    EXPECT_EQ(h.permission.currentStatus(), AccessibilityStatus::missing) << "the trust check refreshes";
    EXPECT_EQ(h.runtime->unlockAttemptCount(), 0u);
    EXPECT_TRUE(log.contains("Unlock ended notAllowed: " + std::string(Texts::unlockTurnedOff)));
    EXPECT_TRUE(log.contains("Unlock ended notAllowed: " + std::string(Texts::unlockSessionEnded)));
    EXPECT_FALSE(log.contains("pw"));
    h.executor.drain();
    ASSERT_TRUE(h.runtime->lastUnlock.value());
    EXPECT_EQ(h.runtime->lastUnlock.value()->report.reason, Texts::unlockNeedsAccessibility);
    EXPECT_FALSE(h.runtime->lastUnlock.value()->report.entry);
}

// A phone asking to unlock without end while the user has it turned off is answered every time, but the
// log keeps to its budget.
TEST_F(RoutingTest, RefusedUnlockRequestsWithoutEndLogWithinABudget) {
    platform::LogCapture log;
    UnlockAnswers answers;
    for (std::uint32_t number = 0; number < 5000; ++number) {
        h.runtime->handleUnlockRequest({number, "pw"}, a, std::make_shared<CompanionNetwork::UnlockCancellation>(),
                                       answers.completion());
    }
    EXPECT_EQ(answers.results.size(), 5000u);
    std::size_t refusals = 0;
    for (const auto& entry : log.entries()) {
        refusals += entry.message.starts_with("Unlock ended") ? 1 : 0;
    }
    EXPECT_LE(refusals, 20u);
    EXPECT_GT(refusals, 0u);
}

TEST_F(RoutingTest, AnAdmittedUnlockIsAnsweredExactlyOnce) {
    UnlockAnswers answers;
    h.preferences.setAllowsUnlockFromIPhone(true);
    auto cancellation = std::make_shared<CompanionNetwork::UnlockCancellation>();
    h.runtime->handleUnlockRequest({3, "hunter2"}, a, cancellation, answers.completion());
    EXPECT_EQ(h.unlocker->lastPassword, "hunter2");
    EXPECT_EQ(h.runtime->unlockAttemptCount(), 1u);
    EXPECT_FALSE(h.unlocker->isWithdrawn());

    // Turning the preference off withdraws the running attempt; its end still answers once.
    h.preferences.setAllowsUnlockFromIPhone(false);
    EXPECT_TRUE(h.unlocker->isWithdrawn());
    EXPECT_EQ(h.runtime->unlockAttemptCount(), 0u);
    h.unlocker->pending(UnlockReport{Status::notReached, "Withdrawn.", std::nullopt});
    h.unlocker->pending(UnlockReport{Status::unlocked, "Twice.", UnlockEntry::typed});
    EXPECT_EQ(answers.results, (std::vector<TrackpadProtocol::UnlockResult>{{3, Status::notReached}}));
    h.executor.drain();
    EXPECT_EQ(h.runtime->lastUnlock.value()->report.reason, "Withdrawn.");

    // A successful attempt leaves no entry behind once finished on the main queue.
    h.preferences.setAllowsUnlockFromIPhone(true);
    h.runtime->handleUnlockRequest(
        {4, "hunter2"}, b, std::make_shared<CompanionNetwork::UnlockCancellation>(), answers.completion());
    h.unlocker->pending(UnlockReport{Status::unlocked, "Unlocked.", UnlockEntry::filled});
    EXPECT_EQ(h.runtime->unlockAttemptCount(), 1u);
    h.executor.drain();
    EXPECT_EQ(h.runtime->unlockAttemptCount(), 0u);
    EXPECT_EQ(h.runtime->lastUnlock.value()->report.entry, UnlockEntry::filled);
    EXPECT_EQ(answers.results.back(), (TrackpadProtocol::UnlockResult{4, Status::unlocked}));
}

TEST_F(RoutingTest, StopWithdrawsEveryUnlockAndADeadRuntimeRefuses) {
    UnlockAnswers answers;
    h.preferences.setAllowsUnlockFromIPhone(true);
    auto cancellation = std::make_shared<CompanionNetwork::UnlockCancellation>();
    h.runtime->handleUnlockRequest({5, "pw"}, a, cancellation, answers.completion());
    h.runtime->stop();
    EXPECT_TRUE(cancellation->isCancelled());
    EXPECT_EQ(h.runtime->status.value(), Texts::stopped);

    auto callbacks = h.network.listener->callbacks;
    h.runtime.reset();
    callbacks.onUnlockRequest({6, "pw"}, a, std::make_shared<CompanionNetwork::UnlockCancellation>(),
                              answers.completion());
    EXPECT_EQ(answers.results, (std::vector<TrackpadProtocol::UnlockResult>{{6, Status::notAllowed}}));
}

}  // namespace
}  // namespace Shell::testing
