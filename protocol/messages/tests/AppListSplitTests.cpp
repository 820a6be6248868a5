// AppListPart::split: the parts stay within the budget as encoded messages, keep the order, and the
// stated edges (empty list, budget cap, an app too large, 65536 parts) hold.
#include <gtest/gtest.h>

#include <random>

#include "CodecTestSupport.h"

namespace codec_test {
namespace {

MacApp app(std::size_t bundleBytes, std::size_t nameBytes) {
    return MacApp{std::string(bundleBytes, 'b'), std::string(nameBytes, 'n'), MacApp::State::active};
}

std::size_t encodedSize(const AppListPart& part) {
    return MessageCodec::encode(Message::RunningApps{part}).size();
}

void expectNumbered(const std::vector<AppListPart>& parts) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].part, i);
        EXPECT_EQ(parts[i].partCount, parts.size());
    }
}

TEST(AppListSplit, EmptyListGivesOneEmptyPart) {
    for (std::size_t budget : {std::size_t{0}, std::size_t{8}, std::size_t{65535}}) {
        const auto parts = AppListPart::split({}, budget);
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0], (AppListPart{{}, 0, 1}));
    }
}

// Three apps of 5 encoded bytes each after an 8-byte header.
TEST(AppListSplit, ExactFitAndOneByteLess) {
    const std::vector<MacApp> apps(3, app(1, 1));
    EXPECT_EQ(AppListPart::split(apps, 23).size(), 1u);
    EXPECT_EQ(encodedSize(AppListPart::split(apps, 23)[0]), 23u);
    const auto parts = AppListPart::split(apps, 22);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].apps.size(), 2u);
    EXPECT_EQ(parts[1].apps.size(), 1u);
    expectNumbered(parts);
}

TEST(AppListSplit, AppThatFitsNoPartThrows) {
    EXPECT_EQ(AppListPart::split({app(1, 1)}, 13).size(), 1u);
    EXPECT_EQ(errorOf<EncodingError>([] { AppListPart::split({app(1, 1)}, 12); }),
              EncodingError::appListTooLarge(13));
    EXPECT_EQ(errorOf<EncodingError>([] { AppListPart::split({app(256, 1)}, 65535); }),
              EncodingError::stringTooLong(256));
    // An app the encoder would refuse never makes it into a part that could then not be sent.
    for (const auto& bad :
         {MacApp{"b", "n\xFF", {}}, MacApp{"\xC0\xAF", "n", {}}, MacApp{"b", "n", MacApp::State(4)}}) {
        EXPECT_EQ(errorOf<EncodingError>([&] { AppListPart::split({app(1, 1), bad}, 65535); }),
                  EncodingError::invalidValue());
    }
}

TEST(AppListSplit, BudgetsAbove65535CountAs65535) {
    // 200 apps of 513 encoded bytes: 102,608 bytes in all, so two parts either way.
    const std::vector<MacApp> apps(200, app(255, 255));
    const auto capped = AppListPart::split(apps, 10'000'000);
    EXPECT_EQ(capped, AppListPart::split(apps, 65535));
    ASSERT_EQ(capped.size(), 2u);
    for (const auto& part : capped)
        EXPECT_LE(encodedSize(part), 65535u);
}

TEST(AppListSplit, PartsKeepTheOrderAndStayWithinTheBudget) {
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> length(0, 255);
    std::vector<MacApp> apps;
    for (int i = 0; i < 500; ++i)
        apps.push_back(app(length(random), length(random)));
    for (std::size_t budget : {std::size_t{600}, std::size_t{4000}, std::size_t{65535}}) {
        const auto parts = AppListPart::split(apps, budget);
        expectNumbered(parts);
        std::vector<MacApp> joined;
        for (const auto& part : parts) {
            EXPECT_LE(encodedSize(part), budget);
            EXPECT_FALSE(part.apps.empty());
            joined.insert(joined.end(), part.apps.begin(), part.apps.end());
        }
        EXPECT_EQ(joined, apps);
    }
}

// With a budget of one app per part, 65535 apps still split and 65536 do not.
TEST(AppListSplit, AtMost65535Parts) {
    std::vector<MacApp> apps(65535, app(0, 0));
    const auto parts = AppListPart::split(apps, 11);
    ASSERT_EQ(parts.size(), 65535u);
    EXPECT_EQ(parts.back().part, 65534);
    apps.push_back(app(0, 0));
    EXPECT_EQ(errorOf<EncodingError>([&] { AppListPart::split(apps, 11); })->kind(),
              EncodingError::Kind::appListTooLarge);
}

}  // namespace
}  // namespace codec_test
