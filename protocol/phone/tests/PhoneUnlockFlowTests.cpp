#include "protocol/phone/PhoneUnlockFlow.h"

#include <gtest/gtest.h>

#include <vector>

namespace TrackpadProtocol {
namespace {

std::uint32_t numberOf(const Message& message) {
    return message.as<Message::UnlockRequest>()->request.number;
}

TEST(PhoneUnlockFlow, EachResultCompletesOnlyTheRequestWithItsNumber) {
    PhoneUnlockFlow flow;
    std::vector<UnlockResult> completed;
    const Message first = flow.request("hunter2", [&](const UnlockResult& r) { completed.push_back(r); });
    const Message second =
        flow.request("correct horse", [&](const UnlockResult& r) { completed.push_back(r); });
    EXPECT_EQ(numberOf(first), 1u);
    EXPECT_EQ(numberOf(second), 2u);
    EXPECT_EQ(first.as<Message::UnlockRequest>()->request.password, "hunter2");
    EXPECT_EQ(flow.pendingCount(), 2u);

    EXPECT_FALSE(flow.receive(Message::UnlockResult{{7, UnlockResult::Status::unlocked}}));  // nobody asked
    EXPECT_FALSE(flow.receive(Message::ControlStatus{}));
    EXPECT_TRUE(flow.receive(Message::UnlockResult{{2, UnlockResult::Status::stillLocked}}));
    EXPECT_FALSE(
        flow.receive(Message::UnlockResult{{2, UnlockResult::Status::unlocked}}));  // answered already
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0], (UnlockResult{2, UnlockResult::Status::stillLocked}));

    flow.connectionClosed();
    ASSERT_EQ(completed.size(), 2u);
    EXPECT_EQ(completed[1], (UnlockResult{1, UnlockResult::Status::notReached}));
    EXPECT_EQ(flow.pendingCount(), 0u);
}

TEST(PhoneUnlockFlow, InvalidPasswordsAreRefusedWithoutShowingThem) {
    PhoneUnlockFlow flow;
    for (const std::string& bad :
         {std::string(), std::string(256, 'a'), std::string("secret\n"), std::string("\xC3\x28secret")}) {
        try {
            flow.request(bad, nullptr);
            ADD_FAILURE() << "accepted an invalid password";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()).find("secret"), std::string::npos);
        }
    }
    EXPECT_EQ(flow.pendingCount(), 0u);
    EXPECT_NO_THROW(flow.request(std::string(255, 'a'), nullptr));
}

TEST(PhoneUnlockFlow, ACompletionMayStartTheNextRequest) {
    PhoneUnlockFlow flow;
    std::optional<Message> retry;
    flow.request("pass", [&](const UnlockResult& r) {
        if (r.status == UnlockResult::Status::busy) {
            retry = flow.request("pass", nullptr);
        }
    });
    EXPECT_TRUE(flow.receive(Message::UnlockResult{{1, UnlockResult::Status::busy}}));
    ASSERT_TRUE(retry);
    EXPECT_EQ(numberOf(*retry), 2u);
    EXPECT_EQ(flow.pendingCount(), 1u);
}

}  // namespace
}  // namespace TrackpadProtocol
