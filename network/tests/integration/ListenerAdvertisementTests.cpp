// The listener without its DNS-SD advertisement: it goes on serving, and its ready state tells why
// phones cannot find it, and stops telling once the advertisement is back.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "network/tests/integration/ListenerHarness.h"

namespace CompanionNetwork::tests {
namespace {

using State = CompanionListener::State;

ListenerHarness::Options advertisedOptions() {
    ListenerHarness::Options options;
    options.configuration.loopbackOnly = false;
    return options;
}

State readyWith(CompanionListener::Details details, std::optional<std::string> problem) {
    details.advertisementProblem = std::move(problem);
    return State{State::Ready{std::move(details)}};
}

// The states reported since `from`, once everything already posted to the listener's queue has run.
std::vector<State> statesSince(ListenerHarness& computer, std::size_t from) {
    computer.loop.call([] {});
    std::lock_guard lock(computer.mutex);
    return {computer.states.begin() + static_cast<std::ptrdiff_t>(from), computer.states.end()};
}

// Reports `state` as the advertiser and returns what the listener made of it.
std::vector<State> afterAdvertiserReports(ListenerHarness& computer, ServiceAdvertiser::State state) {
    const std::size_t before = computer.stateCount();
    computer.loop.call([&] { computer.advertiser->report(state); });
    return statesSince(computer, before);
}

TEST(ListenerAdvertisement, WithoutADaemonTheListenerServesAndItsStateSaysSo) {
    auto options = advertisedOptions();
    options.absentAdvertiser = "The Avahi daemon is not running.";
    ListenerHarness computer(options);
    const auto details = computer.start();
    // Ready at once, and again with the problem once the advertiser has reported it.
    EXPECT_EQ(statesSince(computer, 0),
              (std::vector<State>{State{State::Setup{}}, readyWith(details, {}),
                                  readyWith(details, "The Avahi daemon is not running.")}));

    auto phone = computer.sessionPhone("Phone", true);
    phone->sendDatagram(Message::Move{3, 4});
    phone->send(Message::Tap{1});
    const auto delivered = computer.waitForDelivered(2);
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_EQ(delivered[0].message, Message(Message::Move{3, 4}));
    EXPECT_EQ(delivered[1].message, Message(Message::Tap{1}));
}

TEST(ListenerAdvertisement, ReadyIsReportedAgainOnlyWhenTheProblemChanges) {
    ListenerHarness computer(advertisedOptions());
    const auto details = computer.start();
    // The in-memory advertiser's first report (advertised) changes nothing.
    EXPECT_EQ(statesSince(computer, 0), (std::vector<State>{State{State::Setup{}}, readyWith(details, {})}));

    EXPECT_EQ(afterAdvertiserReports(computer, ServiceAdvertiser::Unavailable{"The daemon left."}),
              std::vector<State>{readyWith(details, "The daemon left.")});
    EXPECT_EQ(afterAdvertiserReports(computer, ServiceAdvertiser::Unavailable{"The daemon left."}),
              std::vector<State>{});
    EXPECT_EQ(afterAdvertiserReports(computer, ServiceAdvertiser::Failed{"Registration refused."}),
              std::vector<State>{readyWith(details, "Registration refused.")});
    EXPECT_EQ(afterAdvertiserReports(computer, ServiceAdvertiser::Advertising{"Lumivex Test"}),
              std::vector<State>{readyWith(details, {})});
    // A rename on the network is still an advertisement.
    EXPECT_EQ(afterAdvertiserReports(computer, ServiceAdvertiser::Advertising{"Lumivex Test #2"}),
              std::vector<State>{});
}

TEST(ListenerAdvertisement, AProblemThatComesWhileWaitingIsToldByTheNextReady) {
    ListenerHarness computer(advertisedOptions());
    const auto details = computer.start();
    computer.loop.call([&] { computer.pathMonitor->setStatus({false, "no network"}); });
    EXPECT_EQ(statesSince(computer, 0).back(), State{State::Waiting{"no network"}});
    EXPECT_EQ(afterAdvertiserReports(computer, ServiceAdvertiser::Unavailable{"The daemon left."}),
              std::vector<State>{});

    const std::size_t before = computer.stateCount();
    computer.loop.call([&] { computer.pathMonitor->setStatus({true, {}}); });
    EXPECT_EQ(statesSince(computer, before), std::vector<State>{readyWith(details, "The daemon left.")});
}

TEST(ListenerAdvertisement, ARestartForgetsTheOldAdvertisementsProblem) {
    ListenerHarness computer(advertisedOptions());
    computer.start();
    afterAdvertiserReports(computer, ServiceAdvertiser::Unavailable{"The daemon left."});
    computer.listener->stop();

    const std::size_t before = computer.stateCount();
    const auto details = computer.start();
    EXPECT_FALSE(details.advertisementProblem.has_value());
    const auto states = statesSince(computer, before);
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), readyWith(details, {}));
}

}  // namespace
}  // namespace CompanionNetwork::tests
