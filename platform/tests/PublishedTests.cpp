#include "platform/Published.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Published, NotifiesOnlyChangesInSubscriptionOrderUntilTheTokenGoes) {
    Published<std::string> name("a");
    std::vector<std::string> seen;
    auto first = name.subscribe([&](const std::string& v) { seen.push_back("1:" + v); });
    std::optional<Published<std::string>::Subscription> second =
        name.subscribe([&](const std::string& v) { seen.push_back("2:" + v); });

    EXPECT_FALSE(name.set("a"));
    EXPECT_TRUE(name.set("b"));
    second.reset();
    EXPECT_TRUE(name.set("c"));
    EXPECT_EQ(name.value(), "c");
    EXPECT_EQ(seen, (std::vector<std::string>{"1:b", "2:b", "1:c"}));
    EXPECT_EQ(name.subscriberCount(), 1u);

    // Moving the token keeps one subscription; the moved-from token unsubscribes nothing.
    auto moved = std::move(first);
    EXPECT_FALSE(first.active());
    EXPECT_TRUE(moved.active());
    first.reset();
    name.set("d");
    EXPECT_EQ(seen.back(), "1:d");
}

TEST(Published, CallbacksMayUnsubscribeAndSubscribeDuringNotification) {
    Published<int> value(0);
    std::vector<std::string> seen;
    Published<int>::Subscription a, b, c, late;
    a = value.subscribe([&](int v) {
        seen.push_back("a" + std::to_string(v));
        a.reset();  // itself
        b.reset();  // a later one: not called for this change
        late = value.subscribe([&](int w) { seen.push_back("late" + std::to_string(w)); });
    });
    b = value.subscribe([&](int v) { seen.push_back("b" + std::to_string(v)); });
    c = value.subscribe([&](int v) { seen.push_back("c" + std::to_string(v)); });

    value.set(1);
    EXPECT_EQ(seen, (std::vector<std::string>{"a1", "c1"}));
    value.set(2);
    EXPECT_EQ(seen, (std::vector<std::string>{"a1", "c1", "c2", "late2"}));
}

TEST(Published, ASetFromACallbackEndsTheOlderNotification) {
    Published<int> value(0);
    std::vector<std::string> seen;
    auto first = value.subscribe([&](int v) {
        seen.push_back("1:" + std::to_string(v));
        if (v == 1)
            value.set(2);
    });
    auto second = value.subscribe([&](int v) { seen.push_back("2:" + std::to_string(v)); });
    value.set(1);
    EXPECT_EQ(seen, (std::vector<std::string>{"1:1", "1:2", "2:2"}));
}

TEST(Published, TokensOutliveThePublishedAndACallbackMayDestroyIt) {
    auto value = std::make_unique<Published<int>>(0);
    int calls = 0;
    auto destroyer = value->subscribe([&](int) {
        ++calls;
        value.reset();
    });
    auto other = value->subscribe([&](int) { ++calls; });
    value->set(1);
    EXPECT_EQ(calls, 1);  // the notification stops once the value is gone
    EXPECT_FALSE(destroyer.active());
    destroyer.reset();
    other.reset();
}

}  // namespace
}  // namespace platform
