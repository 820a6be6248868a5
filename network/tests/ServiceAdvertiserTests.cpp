#include "network/ServiceAdvertiser.h"

#include <avahi-common/alternative.h>
#include <avahi-common/malloc.h>
#include <dbus/dbus.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "network/InMemoryServiceAdvertiser.h"
#include "platform/ManualExecutor.h"

namespace CompanionNetwork {
namespace {

// The bus refuses to carry a string that is not UTF-8; libdbus's own check is the judge here.
bool busAccepts(const std::string& text) {
    return text.find('\0') == std::string::npos && dbus_validate_utf8(text.c_str(), nullptr);
}

std::string repeat(std::string_view piece, int count) {
    std::string result;
    for (int i = 0; i < count; ++i)
        result += piece;
    return result;
}

TEST(AdvertisedInstanceName, KeepsNamesThatFitAndCutsLongOnesOnACharacterBoundary) {
    EXPECT_EQ(advertisedInstanceName("Ada's Workstation"), "Ada's Workstation");
    EXPECT_EQ(advertisedInstanceName(repeat("a", 63)), repeat("a", 63));
    EXPECT_EQ(advertisedInstanceName(repeat("a", 64)), repeat("a", 63));
    // 2-byte characters: 32 of them are 64 bytes; the 32nd would straddle the limit.
    EXPECT_EQ(advertisedInstanceName(repeat("é", 32)), repeat("é", 31));
    // 3-byte: 21 fit exactly; 4-byte: 15 fit (60 bytes), the 16th would end at byte 64.
    EXPECT_EQ(advertisedInstanceName(repeat("€", 22)), repeat("€", 21));
    EXPECT_EQ(advertisedInstanceName(repeat("😀", 16)), repeat("😀", 15));
    EXPECT_EQ(advertisedInstanceName("a" + repeat("😀", 16)), "a" + repeat("😀", 15));
    EXPECT_EQ(advertisedInstanceName(""), "");
}

TEST(AdvertisedInstanceName, ReplacesWhatTheBusWouldRefuse) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(advertisedInstanceName("Mac\xFFmini"), "Mac" + replacement + "mini");
    EXPECT_EQ(advertisedInstanceName(std::string("a\0b", 3)), "a" + replacement + "b");
    EXPECT_EQ(advertisedInstanceName("\xC0\x80"), replacement + replacement);          // overlong NUL
    EXPECT_EQ(advertisedInstanceName("\xED\xA0\x80"), repeat(replacement, 3));        // surrogate
    EXPECT_EQ(advertisedInstanceName("\xF4\x90\x80\x80"), repeat(replacement, 4));    // beyond U+10FFFF
    EXPECT_EQ(advertisedInstanceName("end\xE2\x82"), "end" + replacement + replacement);  // cut short
    // Replacements grow the text (1 byte becomes 3), and the cut still lands between characters.
    EXPECT_EQ(advertisedInstanceName(repeat("\xFF", 22)), repeat(replacement, 21));
}

TEST(AdvertisedInstanceName, AnyBytesGiveAShortNameTheBusAccepts) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 120);
    for (int round = 0; round < 2000; ++round) {
        std::string input(static_cast<std::size_t>(length(random)), '\0');
        for (char& c : input)
            c = static_cast<char>(byte(random));
        const std::string name = advertisedInstanceName(input);
        ASSERT_LE(name.size(), maxInstanceNameBytes);
        ASSERT_TRUE(busAccepts(name)) << "round " << round;
    }
}

TEST(AdvertisedInstanceName, AvahisAlternativeOfACutNameStaysALabel) {
    for (const std::string& name :
         {advertisedInstanceName(repeat("é", 40)), advertisedInstanceName(repeat("x", 80)), std::string("Host #9")}) {
        char* alternative = avahi_alternative_service_name(name.c_str());
        ASSERT_NE(alternative, nullptr) << name;
        const std::string text = alternative;
        avahi_free(alternative);
        EXPECT_LE(text.size(), maxInstanceNameBytes) << text;
        EXPECT_TRUE(busAccepts(text)) << text;
        EXPECT_NE(text, name);
    }
}

TEST(ServiceTXT, CarriesTheHostIDVersionAndUpToThreeWakeAddresses) {
    const auto hostID = *TrackpadProtocol::UUID::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
    const std::vector<std::string> addresses{"3C:22:FB:01:02:0A", "not-an-address", "3c:22:fb:01:02:0b",
                                             "3c:22:fb:01:02:0c", "3c:22:fb:01:02:0d"};
    EXPECT_EQ(makeServiceTXT(hostID, addresses),
              (std::vector<TXTRecord>{{"id", "E621E1F8-C36C-495A-93FC-0C247A3E6E5F"},
                                      {"v", "1"},
                                      {"hw", "3c:22:fb:01:02:0a,3c:22:fb:01:02:0b,3c:22:fb:01:02:0c"}}));
}

TEST(ServiceTXT, LeavesHardwareOutWhenThereIsNoUsableAddress) {
    const auto hostID = *TrackpadProtocol::UUID::parse("00000000-0000-4000-8000-000000000001");
    const std::vector<TXTRecord> expected{{"id", "00000000-0000-4000-8000-000000000001"}, {"v", "1"}};
    EXPECT_EQ(makeServiceTXT(hostID, {}), expected);
    const std::vector<std::string> malformed{"", "3c:22:fb:01:02", "3c-22-fb-01-02-0a", "zz:22:fb:01:02:0a"};
    EXPECT_EQ(makeServiceTXT(hostID, malformed), expected);
}

class InMemoryServiceAdvertiserTest : public ::testing::Test {
protected:
    InMemoryServiceAdvertiserTest() {
        advertiser.setStateHandler([this](const ServiceAdvertiser::State& state) { states.push_back(state); });
    }
    platform::ManualExecutor executor;
    InMemoryServiceAdvertiser advertiser{executor};
    std::vector<ServiceAdvertiser::State> states;
};

TEST_F(InMemoryServiceAdvertiserTest, ReportsFromTheExecutorWithTheNameCutAsRegistered) {
    advertiser.advertise({repeat("é", 40), 1, 2, {}});
    EXPECT_TRUE(states.empty()) << "reported from inside advertise()";
    executor.drain();
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0], ServiceAdvertiser::State(ServiceAdvertiser::Advertising{repeat("é", 31)}));
    EXPECT_EQ(advertiser.current()->instanceName, repeat("é", 31));
    EXPECT_EQ(advertiser.history().at(0).instanceName, repeat("é", 40));
}

TEST_F(InMemoryServiceAdvertiserTest, WithdrawDropsReportsOnTheirWayAndLaterInjectedOnes) {
    advertiser.advertise({"Host", 1, 2, {}});
    advertiser.withdraw();
    advertiser.report(ServiceAdvertiser::Failed{"late"});
    executor.drain();
    EXPECT_TRUE(states.empty());
    EXPECT_FALSE(advertiser.current());
    EXPECT_EQ(advertiser.withdrawCount(), 1);
}

TEST_F(InMemoryServiceAdvertiserTest, UnavailableAndInjectedRenamesAreReported) {
    advertiser.setUnavailable("no daemon");
    advertiser.advertise({"Host", 1, 2, {}});
    advertiser.report(ServiceAdvertiser::Advertising{"Host #2"});
    executor.drain();
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0], ServiceAdvertiser::State(ServiceAdvertiser::Unavailable{"no daemon"}));
    EXPECT_EQ(advertiser.current()->instanceName, "Host #2");
}

TEST(AbsentServiceAdvertiser, AnswersEveryAdvertisementWithItsReason) {
    platform::ManualExecutor executor;
    std::vector<ServiceAdvertiser::State> states;
    {
        AbsentServiceAdvertiser advertiser(executor, "DNS-SD is not available.");
        advertiser.setStateHandler([&](const ServiceAdvertiser::State& state) { states.push_back(state); });
        advertiser.advertise({"Host", 1, 2, {}});
        executor.drain();
        advertiser.advertise({"Host", 1, 2, {}});
    }
    executor.drain();  // the second report was queued when the advertiser went away
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0], ServiceAdvertiser::State(ServiceAdvertiser::Unavailable{"DNS-SD is not available."}));
}

}  // namespace
}  // namespace CompanionNetwork
