// The preferences file and the permission poll.
#include <gtest/gtest.h>

#include <fstream>

#include "app/core/StatusLog.h"
#include "app/core/tests/RuntimeFakes.h"
#include "platform/LogCapture.h"

namespace Shell::testing {
namespace {

std::string read(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CompanionPreferences, MissingOrDamagedFilesGiveTheDefaultsAndAreLeftAlone) {
    TemporaryFolder folder;
    const auto file = folder.path() / "Preferences.json";
    {
        CompanionPreferences preferences(file);
        EXPECT_TRUE(preferences.showsConnectionNotice().value());
        EXPECT_TRUE(preferences.highlightsPointerOnShake().value());
        EXPECT_FALSE(preferences.allowsUnlockFromIPhone().value());
        EXPECT_FALSE(std::filesystem::exists(file)) << "nothing is written until a setting changes";
    }
    for (const std::string damaged : {"{ \"showsConnectionNotice\": fal", "[true, false]", "\xff\xfe"}) {
        std::ofstream(file) << damaged;
        CompanionPreferences preferences(file);
        EXPECT_TRUE(preferences.showsConnectionNotice().value());
        EXPECT_FALSE(preferences.allowsUnlockFromIPhone().value());
        EXPECT_EQ(read(file), damaged);
    }
}

TEST(CompanionPreferences, ADamagedFileIsKeptBesideItBeforeTheFirstChangeReplacesIt) {
    TemporaryFolder folder;
    const auto file = folder.path() / "Preferences.json";
    const auto kept = folder.path() / "Preferences.json.damaged";
    const std::string damaged = "{ \"showsConnectionNotice\": false, \"allowsUnlockFr";
    std::ofstream(file) << damaged;
    CompanionPreferences preferences(file);
    preferences.setAllowsUnlockFromIPhone(true);
    EXPECT_EQ(read(kept), damaged);
    EXPECT_TRUE(CompanionPreferences(file).allowsUnlockFromIPhone().value());
    // Only the text that was damaged is kept: later changes leave the copy alone.
    std::filesystem::remove(kept);
    preferences.setShowsConnectionNotice(false);
    EXPECT_FALSE(std::filesystem::exists(kept));
    // A readable file is never copied.
    CompanionPreferences(file).setHighlightsPointerOnShake(false);
    EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST(CompanionPreferences, ValuesOfAnotherKindGiveTheDefaultAndOtherKeysSurviveAWrite) {
    TemporaryFolder folder;
    const auto file = folder.path() / "sub" / "Preferences.json";
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file)
        << R"({"showsConnectionNotice": "no", "highlightsPointerOnShake": false, "future": [1]})";
    CompanionPreferences preferences(file);
    EXPECT_TRUE(preferences.showsConnectionNotice().value());
    EXPECT_FALSE(preferences.highlightsPointerOnShake().value());

    int notified = 0;
    auto subscription = preferences.allowsUnlockFromIPhone().subscribe([&](bool) { ++notified; });
    preferences.setAllowsUnlockFromIPhone(true);
    EXPECT_EQ(notified, 1);
    CompanionPreferences reread(file);
    EXPECT_TRUE(reread.allowsUnlockFromIPhone().value());
    EXPECT_FALSE(reread.highlightsPointerOnShake().value());
    EXPECT_NE(read(file).find("\"future\""), std::string::npos);
}

TEST(AccessibilityPermission, PollsEverySecondAndPublishesOnlyChanges) {
    platform::ManualExecutor executor;
    TrustAnswer probe;
    AccessibilityPermission permission(executor, probe);
    std::vector<AccessibilityStatus> seen;
    auto subscription =
        permission.status().subscribe([&](AccessibilityStatus status) { seen.push_back(status); });
    permission.startPolling();
    permission.startPolling();
    EXPECT_EQ(executor.pendingTimers(), 1u);
    executor.advance(3.0);
    EXPECT_TRUE(seen.empty());
    probe.trusted = false;
    executor.advance(0.999);
    EXPECT_TRUE(seen.empty());
    executor.advance(0.001);
    EXPECT_EQ(seen, (std::vector{AccessibilityStatus::missing}));
    permission.stopPolling();
    probe.trusted = true;
    executor.advance(5.0);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(executor.pendingTimers(), 0u);
}

TEST(StatusLog, SaysAtOnceThatAccessibilityIsNotAllowedEvenIfItNeverChanges) {
    platform::LogCapture log;
    RuntimeHarness h;
    h.probe.trusted = false;
    AccessibilityPermission permission(h.executor, h.probe);
    StatusLog statusLog(*h.runtime, permission);
    EXPECT_TRUE(log.contains("Accessibility: Not Allowed")) << "all input would be dropped without a word";
}

}  // namespace
}  // namespace Shell::testing
