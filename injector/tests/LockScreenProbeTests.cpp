// The lock-screen decision rules over a fake probe: candidates, facts, reasons and secure input.
#include <gtest/gtest.h>

#include <map>

#include "injector/LockScreenProbe.h"

namespace Injector {
namespace {

constexpr uid_t me = 1000;

class FakeProbe final : public LockScreenProbe {
  public:
    bool displayIsAsleep() override { return false; }
    void wake() override {}
    bool accessibilityTrusted() override { return trusted; }
    LockScreenSession session() override { return sessionValues; }
    uid_t currentUserID() override { return me; }
    std::optional<pid_t> loginWindowProcess(uid_t) override { return loginWindow; }
    std::optional<ProbedProcess> processInfo(pid_t pid) override {
        const auto found = processes.find(pid);
        return found != processes.end() ? std::optional(found->second) : std::nullopt;
    }
    Focus focusedElement(std::optional<pid_t> application) override {
        ++examinations;
        return application ? loginWindowFocus : systemFocus;
    }
    std::optional<std::string> stringAttribute(std::uint64_t element, std::string_view name) override {
        if (element != 9) {
            return std::nullopt;
        }
        return std::string(name == "AXRole" ? "AXTextField" : "AXSecureTextField");
    }
    std::optional<int> characterCount(std::uint64_t) override { return 3; }
    bool secureInputEnabled() override { return false; }
    SetValueResult setValue(std::uint64_t, std::string_view) override { return {-25205, false}; }
    void pause(double seconds) override { paused += seconds; }

    bool trusted = true;
    LockScreenSession sessionValues{true, true, me, std::nullopt};
    std::optional<pid_t> loginWindow;
    std::map<pid_t, ProbedProcess> processes;
    Focus loginWindowFocus;
    Focus systemFocus;
    int examinations = 0;
    double paused = 0;
};

class ProbedLockScreenTest : public ::testing::Test {
  protected:
    ProbedLockScreenTest() {
        auto owned = std::make_unique<FakeProbe>();
        probe = owned.get();
        lockScreen = std::make_unique<ProbedLockScreen>(std::move(owned));
    }
    std::string reason() {
        const LockScreenFocus focus = lockScreen->examine();
        const auto* unverified = std::get_if<LockScreenFocus::Unverified>(&focus.value);
        return unverified != nullptr ? unverified->reason : "<verified>";
    }
    FakeProbe* probe;
    std::unique_ptr<ProbedLockScreen> lockScreen;
};

TEST_F(ProbedLockScreenTest, WithoutTrustNothingIsVerified) {
    probe->trusted = false;
    EXPECT_TRUE(std::holds_alternative<LockScreenFocus::AccessibilityDenied>(lockScreen->examine().value));
    EXPECT_FALSE(
        lockScreen->isFocused({{SecureInputKey{5}}, std::nullopt, 5, LockScreenFieldCheck::secureInput}));
}

TEST_F(ProbedLockScreenTest, ReasonsListCandidatesThenTheMissingLockScreenThenSecureInput) {
    EXPECT_EQ(reason(),
              "system-wide focus: no focused element; no login window process acts as this user; secure "
              "input: off");
    probe->loginWindow = 77;
    probe->loginWindowFocus = 5;
    probe->processes[88] = {"loginwindow", me, true, false};
    probe->sessionValues.secureInputPID = 88;
    EXPECT_EQ(reason(),
              "login window focus: no focused element (Accessibility error 5); system-wide focus: no focused "
              "element; secure input: held by loginwindow (NOT Apple's login window)");
    probe->sessionValues.secureInputPID = 99;
    EXPECT_EQ(reason().substr(reason().rfind("; ") + 2), "secure input: held by process 99");
    probe->sessionValues.secureInputPID = -3;
    EXPECT_EQ(reason().substr(reason().rfind("; ") + 2), "secure input: off");
}

TEST_F(ProbedLockScreenTest, SecureInputOfThisUsersLockScreenVerifiesTheFieldButNeverAnotherUsers) {
    probe->loginWindow = 77;
    probe->processes[77] = {"locker", me, true, true};
    probe->sessionValues.secureInputPID = 77;
    const LockScreenFocus focus = lockScreen->examine();
    const auto* field = std::get_if<LockScreenFocus::PasswordField>(&focus.value);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->field,
              (LockScreenField{{SecureInputKey{77}}, std::nullopt, 77, LockScreenFieldCheck::secureInput}));
    EXPECT_EQ(
        lockScreen->fill(field->field, "pw"),
        (LockScreenFill{LockScreenFill::Failed{
            "Accessibility didn't name the field (it was verified by secure input), so it can't fill it"}}));

    probe->sessionValues.userID = 1001;
    EXPECT_NE(reason(), "<verified>");
    probe->sessionValues.userID = me;
    probe->sessionValues.locked = false;
    EXPECT_NE(reason(), "<verified>");
    probe->sessionValues.locked = true;
    probe->processes[77].isSystemLoginWindow = false;
    EXPECT_NE(reason(), "<verified>");
    probe->processes[77].isSystemLoginWindow = true;
    // The lock screen's focus on another of its elements means the field is not the focus.
    probe->loginWindowFocus = LockScreenProbe::Element{3, 77};
    EXPECT_EQ(reason().substr(reason().rfind("; ") + 2),
              "secure input: held by this user's login window, but its focus is elsewhere");
}

TEST_F(ProbedLockScreenTest, AnAccessibilityFieldNeedsTheGenuineLoginWindow) {
    probe->loginWindow = 77;
    probe->processes[77] = {"loginwindow", me, true, false};
    probe->loginWindowFocus = LockScreenProbe::Element{9, 77};
    EXPECT_EQ(
        reason(),
        "login window focus: AXTextField/AXSecureTextField of loginwindow (this user, NOT Apple's login "
        "window); "
        "session locked yes, on console yes, this user's yes; system-wide focus: no focused element; secure "
        "input: off");
    probe->processes[77].isSystemLoginWindow = true;
    const LockScreenFocus focus = lockScreen->examine();
    const auto* field = std::get_if<LockScreenFocus::PasswordField>(&focus.value);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->field.characterCount, 3);
    EXPECT_EQ(field->field.check, LockScreenFieldCheck::accessibility);
    EXPECT_EQ(lockScreen->fill(field->field, "pw"),
              (LockScreenFill{LockScreenFill::Failed{
                  "the field refused the value (Accessibility error -25205; settable: no)"}}));
    // Seen through the same lock screen's secure input, it is still the focused field.
    probe->loginWindowFocus = std::monostate{};
    probe->sessionValues.secureInputPID = 77;
    EXPECT_TRUE(lockScreen->isFocused(field->field));
}

TEST_F(ProbedLockScreenTest, IsFocusedExaminesAtMostThreeTimes) {
    probe->loginWindow = 77;
    const int before = probe->examinations;
    EXPECT_FALSE(
        lockScreen->isFocused({{SecureInputKey{77}}, std::nullopt, 77, LockScreenFieldCheck::secureInput}));
    EXPECT_EQ(probe->examinations - before, 6);  // three examinations of two candidates
    EXPECT_DOUBLE_EQ(probe->paused, 0.1);
}

}  // namespace
}  // namespace Injector
