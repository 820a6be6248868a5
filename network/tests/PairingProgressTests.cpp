#include <gtest/gtest.h>

#include "network/PairingProgress.h"
#include "network/tests/TestSupport.h"

namespace CompanionNetwork {
namespace {

PendingPairing pendingFor(const std::string& name) {
    return {UUID::random(),
            name,
            *PairingCode::fromDigits("123456"),
            tests::referenceDate(),
            tests::referenceDate(120),
            0};
}

TEST(PairingProgress, Applying) {
    PendingPairing p = pendingFor("Phone");
    PendingPairing q = pendingFor("Other");
    const PairingEvent shown = PairingEvent::PendingPairingChanged{p};
    const PairingEvent ended = PairingEvent::PendingPairingChanged{std::nullopt};
    const PairingEvent paired = PairingEvent::PairingFinished{PairingOutcome::paired("Phone")};
    const PairingEvent expired = PairingEvent::PairingFinished{PairingOutcome::expired()};
    const std::vector<PairingEvent> unrelated = {PairingEvent::TrustedDevicesChanged{},
                                                 PairingEvent::ConnectedDevicesChanged{},
                                                 PairingEvent::SessionsRevoked{UUID::random()}};
    const std::vector<PairingProgress> all = {PairingProgress::idle(), PairingProgress::waiting(q),
                                              PairingProgress::succeeded("X"),
                                              PairingProgress::failed(PairingOutcome::declined())};
    for (const auto& from : all) {
        EXPECT_EQ(from.applying(shown), PairingProgress::waiting(p));
        EXPECT_EQ(from.applying(paired), PairingProgress::succeeded("Phone"));
        EXPECT_EQ(from.applying(expired), PairingProgress::failed(PairingOutcome::expired()));
        EXPECT_EQ(from.applying(ended), from.is<PairingProgress::Waiting>() ? PairingProgress::idle() : from);
        for (const auto& event : unrelated)
            EXPECT_EQ(from.applying(event), from);
    }
    // The coordinator's order at the end of a pairing keeps its outcome on show.
    PairingProgress progress = PairingProgress::waiting(p).applying(expired).applying(ended);
    EXPECT_EQ(progress, PairingProgress::failed(PairingOutcome::expired()));
}

TEST(PairingProgress, ClearFinished) {
    const std::vector<std::pair<PairingProgress, bool>> cases = {
        {PairingProgress::succeeded("Phone"), true},
        {PairingProgress::failed(PairingOutcome::wrongCodeLockout()), true},
        {PairingProgress::waiting(pendingFor("Phone")), false},
        {PairingProgress::idle(), false},
    };
    for (auto [progress, cleared] : cases) {
        PairingProgress before = progress;
        EXPECT_EQ(progress.clearFinished(), cleared);
        EXPECT_EQ(progress, cleared ? PairingProgress::idle() : before);
    }
}

}  // namespace
}  // namespace CompanionNetwork
