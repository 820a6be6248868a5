#include "platform/FairScheduler.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

// Requests by name; what started, what was refused, and the tickets of the running ones.
struct Rig {
    explicit Rig(FairScheduler<std::string>::Limits limits) : scheduler(limits) {}
    void submit(const std::string& client, const std::string& name) {
        scheduler.submit(
            client,
            [this, name](FairScheduler<std::string>::Ticket ticket) {
                started.push_back(name);
                tickets.push_back(ticket);
            },
            [this, name] { refused.push_back(name); });
    }
    void finishOldest() {
        const auto ticket = tickets.front();
        tickets.erase(tickets.begin());
        scheduler.finished(ticket);
    }
    FairScheduler<std::string> scheduler;
    std::vector<std::string> started;
    std::vector<std::string> refused;
    std::vector<FairScheduler<std::string>::Ticket> tickets;
};

TEST(FairScheduler, AFloodDelaysAnotherClientByOneRequestAtMostAndOverflowIsRefused) {
    Rig rig({1, 4});
    for (int i = 1; i <= 8; ++i) {
        rig.submit("flood", "f" + std::to_string(i));
    }
    // One runs, four wait, three are refused at once.
    EXPECT_EQ(rig.started, (std::vector<std::string>{"f1"}));
    EXPECT_EQ(rig.refused, (std::vector<std::string>{"f6", "f7", "f8"}));
    rig.submit("honest", "h1");
    rig.submit("honest", "h2");
    rig.finishOldest();
    EXPECT_EQ(rig.started.back(), "h1") << "only the running f1 came before it";
    while (!rig.tickets.empty()) {
        rig.finishOldest();
    }
    EXPECT_EQ(rig.started, (std::vector<std::string>{"f1", "h1", "f2", "h2", "f3", "f4", "f5"}));
    EXPECT_EQ(rig.scheduler.waitingCount(), 0u);
    // Idle again: the next request starts at once.
    rig.submit("flood", "f9");
    EXPECT_EQ(rig.started.back(), "f9");
}

TEST(FairScheduler, ADepartedClientsWorkIsDroppedAndFreesItsPlaces) {
    Rig rig({2, 8});
    for (int i = 1; i <= 5; ++i) {
        rig.submit("gone", "g" + std::to_string(i));
    }
    rig.submit("stays", "s1");
    EXPECT_EQ(rig.started, (std::vector<std::string>{"g1", "g2"}));
    const auto staleTicket = rig.tickets.front();
    rig.scheduler.removeClient("gone");
    // Both places were the departed client's: the other client's request starts at once.
    EXPECT_EQ(rig.started.back(), "s1");
    rig.scheduler.finished(staleTicket);  // the departed one's late answer changes nothing
    EXPECT_EQ(rig.scheduler.runningCount(), 1u);
    EXPECT_EQ(rig.scheduler.waitingCount(), 0u);

    rig.submit("stays", "s2");
    rig.submit("stays", "s3");
    rig.submit("stays", "s4");
    rig.scheduler.clear();
    EXPECT_EQ(rig.scheduler.waitingCount(), 0u);
    EXPECT_EQ(rig.scheduler.runningCount(), 0u);
    EXPECT_TRUE(rig.refused.empty()) << "dropped, not answered";
}

TEST(FairScheduler, ADepartedClientsRunningRequestCanHoldItsPlaceUntilAnswered) {
    FairScheduler<std::string>::Limits limits{1, 8};
    limits.departedKeepPlace = true;
    Rig rig(limits);
    // Clients that each ask once and leave: only the first is ever with the service.
    for (int i = 1; i <= 5; ++i) {
        rig.submit("churn" + std::to_string(i), "c" + std::to_string(i));
        rig.scheduler.removeClient("churn" + std::to_string(i));
    }
    rig.submit("honest", "h1");
    EXPECT_EQ(rig.started, (std::vector<std::string>{"c1"}));
    EXPECT_EQ(rig.scheduler.runningCount(), 1u);
    rig.finishOldest();
    EXPECT_EQ(rig.started, (std::vector<std::string>{"c1", "h1"}));
    rig.scheduler.clear();
    EXPECT_EQ(rig.scheduler.runningCount(), 0u);
    rig.finishOldest();  // an answer after the clear changes nothing
    rig.submit("honest", "h2");
    EXPECT_EQ(rig.started.back(), "h2");
}

TEST(FairScheduler, AnAnswerAClientLeavesUntakenHoldsUpThatClientAlone) {
    Rig rig({.running = 1, .waitingPerClient = 8, .underWayPerClient = 1});
    rig.submit("reader", "r1");
    rig.submit("reader", "r2");
    rig.scheduler.answered(rig.tickets[0]);
    EXPECT_EQ(rig.started, (std::vector<std::string>{"r1"})) << "r1's answer is not taken yet";
    rig.submit("other", "o1");
    EXPECT_EQ(rig.started.back(), "o1") << "the answer made holds no place";
    rig.scheduler.answered(rig.tickets[1]);
    rig.scheduler.finished(rig.tickets[1]);
    EXPECT_EQ(rig.started.size(), 2u);
    rig.scheduler.finished(rig.tickets[0]);
    EXPECT_EQ(rig.started.back(), "r2");
    // A client that leaves takes its untaken answers with it.
    rig.scheduler.answered(rig.tickets[2]);
    rig.submit("reader", "r3");
    rig.scheduler.removeClient("reader");
    rig.submit("reader", "r4");
    EXPECT_EQ(rig.started.back(), "r4");
}

}  // namespace
}  // namespace platform
