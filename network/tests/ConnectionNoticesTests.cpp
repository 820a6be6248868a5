// The listener's log budget: per host across reconnects, for the whole listener across hosts, and the
// one line that tells what was held back.
#include <gtest/gtest.h>

#include <string>

#include "network/ConnectionNotices.h"

namespace CompanionNetwork::tests {
namespace {

int logged(ConnectionNotices& notices, const std::string& host, int lines, double now,
           std::vector<std::string>* summaries = nullptr) {
    int count = 0;
    for (int i = 0; i < lines; ++i) {
        const auto decision = notices.take(host, now);
        count += decision.log ? 1 : 0;
        if (decision.summary && summaries != nullptr) {
            summaries->push_back(*decision.summary);
        }
    }
    return count;
}

TEST(ConnectionNotices, AHostsBudgetLastsAcrossItsConnectionsUntilItsWindowEnds) {
    ConnectionNotices notices;
    // However many connections the lines come from, the host has its burst per window.
    EXPECT_EQ(logged(notices, "10.0.0.2", 1000, 0), ConnectionNotices::hostBurst);
    EXPECT_EQ(logged(notices, "10.0.0.2", 1000, ConnectionNotices::hostWindow - 1), 0);
    // Another host is not held back by it.
    EXPECT_EQ(logged(notices, "10.0.0.3", 2, ConnectionNotices::hostWindow - 1), 2);
    EXPECT_EQ(logged(notices, "10.0.0.2", 1000, ConnectionNotices::hostWindow), ConnectionNotices::hostBurst);
}

TEST(ConnectionNotices, ManyHostsTogetherSpendTheListenersBudgetAndTheRestIsToldInOneLine) {
    ConnectionNotices notices;
    int count = 0;
    for (int host = 0; host < 1000; ++host) {
        count +=
            logged(notices, "10.0." + std::to_string(host / 250) + "." + std::to_string(host % 250), 3, 1);
    }
    EXPECT_EQ(count, ConnectionNotices::listenerBurst);
    EXPECT_FALSE(notices.flush(1 + ConnectionNotices::listenerWindow - 0.5).has_value());
    ASSERT_TRUE(notices.untilFlush(1).has_value());
    EXPECT_DOUBLE_EQ(*notices.untilFlush(1), ConnectionNotices::listenerWindow);
    const auto summary = notices.flush(1 + ConnectionNotices::listenerWindow);
    ASSERT_TRUE(summary.has_value());
    EXPECT_NE(summary->find(std::to_string(3000 - ConnectionNotices::listenerBurst) + " more lines"),
              std::string::npos)
        << *summary;
    // Told once.
    EXPECT_FALSE(notices.flush(100).has_value());
    EXPECT_FALSE(notices.untilFlush(100).has_value());
}

TEST(ConnectionNotices, TheSummaryComesWithTheFirstLineOfTheNextWindowAndNamesTheLoudestHost) {
    ConnectionNotices notices;
    std::vector<std::string> summaries;
    logged(notices, "10.0.0.2", 50, 0, &summaries);
    logged(notices, "10.0.0.3", 7, 0, &summaries);
    EXPECT_TRUE(summaries.empty());
    logged(notices, "", 1, ConnectionNotices::listenerWindow, &summaries);
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_NE(summaries[0].find("47 more lines"), std::string::npos) << summaries[0];
    EXPECT_NE(summaries[0].find("45 of them about 10.0.0.2"), std::string::npos) << summaries[0];
}

TEST(ConnectionNotices, NewHostsBeyondTheRememberedOnesStillSpendTheListenersBudget) {
    ConnectionNotices notices;
    for (std::size_t host = 0; host < ConnectionNotices::maxHosts; ++host) {
        notices.take("h" + std::to_string(host), 0);
    }
    // Within every remembered host's window: the new one is not remembered, but is still limited.
    EXPECT_LE(logged(notices, "new", 1000, 1), ConnectionNotices::listenerBurst);
    // Once the old hosts' windows are over, they make room.
    EXPECT_EQ(logged(notices, "newer", 1000, 1 + ConnectionNotices::hostWindow),
              ConnectionNotices::hostBurst);
}

}  // namespace
}  // namespace CompanionNetwork::tests
