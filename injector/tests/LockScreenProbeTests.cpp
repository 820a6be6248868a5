// The lock-screen decision rules over a fake probe: candidates, facts, reasons and secure input; and the
// Linux lock screen's judgement of a locker's loaded code and of whose the keyboard grab is.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "injector/LockScreenProbe.h"
#include "injector/SystemLockScreen.h"

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
    LockScreenSession sessionValues{true, true, me, std::nullopt, std::nullopt};
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
    probe->processes[88] = {"loginwindow", me, true, false, std::nullopt};
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
    probe->processes[77] = {"locker", me, true, true, std::nullopt};
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
    probe->processes[77].doubt = "its environment sets LD_PRELOAD";
    EXPECT_EQ(reason().substr(reason().rfind("; ") + 2),
              "secure input: held by locker (its environment sets LD_PRELOAD)");
    probe->processes[77].isSystemLoginWindow = true;
    // A genuine lock screen named as the holder without proof that it holds the keyboard itself.
    probe->sessionValues.secureInputDoubt = "the keyboard was not seen grabbed after its window appeared";
    EXPECT_EQ(
        reason().substr(reason().rfind("; ") + 2),
        "secure input: held by locker, but the keyboard was not seen grabbed after its window appeared");
    EXPECT_FALSE(
        lockScreen->isFocused({{SecureInputKey{77}}, std::nullopt, 77, LockScreenFieldCheck::secureInput}));
    probe->sessionValues.secureInputDoubt.reset();
    // The lock screen's focus on another of its elements means the field is not the focus.
    probe->loginWindowFocus = LockScreenProbe::Element{3, 77};
    EXPECT_EQ(reason().substr(reason().rfind("; ") + 2),
              "secure input: held by this user's login window, but its focus is elsewhere");
}

TEST_F(ProbedLockScreenTest, AnAccessibilityFieldNeedsTheGenuineLoginWindow) {
    probe->loginWindow = 77;
    probe->processes[77] = {"loginwindow", me, true, false, std::nullopt};
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

// A lock screen program into which other code was loaded is not genuine: the loader's variables in its
// environment, or code mapped from outside the system's folders.
TEST(LoaderTamperingTest, TheLoadersVariablesAndCodeFromOutsideTheSystemsFolders) {
    using namespace std::string_literals;
    std::vector<std::string> judged;
    const auto underUsr = [&](const std::string& path) {
        judged.push_back(path);
        return path.starts_with("/usr/");
    };
    const std::string genuine =
        "55d0c0a00000-55d0c0a05000 r--p 00000000 fe:00 1234 /usr/bin/i3lock\n"
        "55d0c0a05000-55d0c0a0f000 r-xp 00005000 fe:00 1234 /usr/bin/i3lock\n"
        "55d0c1000000-55d0c1021000 rw-p 00000000 00:00 0 [heap]\n"
        "7f0000000000-7f0000028000 r--p 00000000 fe:00 77 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
        "7f0000028000-7f000019d000 r-xp 00028000 fe:00 77 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
        "7f00001a0000-7f00001a4000 rw-p 00000000 00:00 0 \n"
        "7f00002a0000-7f00002a8000 r--s 00000000 fe:00 90 /home/u/.cache/fontconfig/abc-le64.cache-9\n"
        "7ffd00000000-7ffd00002000 r-xp 00000000 00:00 0 [vdso]\n";
    EXPECT_EQ(loaderTampering("HOME=/home/u\0DISPLAY=:0\0"s, genuine, underUsr), std::nullopt);
    // Each file is judged once, data files not at all.
    EXPECT_EQ(judged, (std::vector<std::string>{"/usr/bin/i3lock", "/usr/lib/x86_64-linux-gnu/libc.so.6"}));

    EXPECT_EQ(loaderTampering("HOME=/home/u\0LD_PRELOAD=/tmp/x.so\0"s, genuine, underUsr),
              "its environment sets LD_PRELOAD");
    EXPECT_EQ(loaderTampering("LD_LIBRARY_PATH=/opt/lib"s, genuine, underUsr),
              "its environment sets LD_LIBRARY_PATH");
    EXPECT_EQ(loaderTampering("A=1\0LD_AUDIT=/a.so\0"s, genuine, underUsr), "its environment sets LD_AUDIT");
    // Empty values change nothing; look-alike names are other variables.
    EXPECT_EQ(loaderTampering("LD_PRELOAD=\0XLD_PRELOAD=/x.so\0LD_PRELOADED=1\0"s, genuine, underUsr),
              std::nullopt);

    EXPECT_EQ(loaderTampering("", genuine + "7f0000300000-7f0000301000 r--p 00000000 fe:00 5 /tmp/evil.so\n",
                              underUsr),
              "it maps /tmp/evil.so from outside the system's folders");
    EXPECT_EQ(
        loaderTampering("", genuine + "7f0000300000-7f0000301000 r-xp 00000000 00:01 5 /memfd:x (deleted)\n",
                        underUsr),
        "it maps /memfd:x (deleted) from outside the system's folders");
    EXPECT_EQ(loaderTampering(
                  "", genuine + "7f0000300000-7f0000301000 r--p 00000000 fe:00 5 /home/u/my libs/libx.so.1",
                  underUsr),
              "it maps /home/u/my libs/libx.so.1 from outside the system's folders");
}

TEST(LoaderTamperingTest, SystemFilesAreRootOwnedFilesInTheSystemsFolders) {
    std::string libc;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line) && libc.empty();) {
        if (line.ends_with("/libc.so.6") && line.find('/') != std::string::npos) {
            libc = line.substr(line.find('/'));
        }
    }
    ASSERT_FALSE(libc.empty());
    EXPECT_TRUE(isRootOwnedSystemFile(libc));
    // Replaced under the running program by whoever may write its folder.
    EXPECT_TRUE(isRootOwnedSystemFile(libc + " (deleted)"));
    EXPECT_FALSE(isRootOwnedSystemFile("/tmp/libc.so.6"));
    EXPECT_FALSE(isRootOwnedSystemFile("/usr/lib/../../tmp/libc.so.6"));
    EXPECT_FALSE(isRootOwnedSystemFile("/usr/lib/no-such-library.so"));
}

// Whose grab the keyboard's is cannot be asked of X; a window's own grab is one taken after it appeared.
TEST(KeyboardGrabWatchTest, AGrabCountsForAWindowOnlyWhenTakenAfterItAppearedAndStillHeld) {
    KeyboardGrabWatch watch;
    EXPECT_FALSE(watch.grabbedSince(5));  // never seen appear
    watch.appeared(5);
    EXPECT_FALSE(watch.grabbedSince(5));
    watch.grabbed();
    EXPECT_TRUE(watch.grabbedSince(5));
    watch.released();
    EXPECT_FALSE(watch.grabbedSince(5));

    // Someone else holds the keyboard when the locker's window appears: it cannot have that grab.
    watch.grabbed();
    watch.appeared(7);
    EXPECT_FALSE(watch.grabbedSince(7));
    // The other lets go and the locker takes it.
    watch.released();
    watch.grabbed();
    EXPECT_TRUE(watch.grabbedSince(7));
    // A window gone, and its number given to a new one, starts over.
    watch.disappeared(7);
    EXPECT_FALSE(watch.grabbedSince(7));
    watch.appeared(7);
    EXPECT_FALSE(watch.grabbedSince(7));
}

// A locker whose dialog is another process's window maps it after taking the keyboard: the window
// counts only when a grab seen taken stood when it appeared and stands still.
TEST(KeyboardGrabWatchTest, AWindowMappedUnderAStandingGrabCountsUntilThatGrabGoes) {
    KeyboardGrabWatch watch;
    watch.appeared(5);
    EXPECT_FALSE(watch.appearedWhileGrabbed(5));  // no grab stood
    watch.grabbed();
    EXPECT_FALSE(watch.appearedWhileGrabbed(5));  // taken after it appeared
    watch.appeared(6);
    EXPECT_TRUE(watch.appearedWhileGrabbed(6));
    EXPECT_FALSE(watch.grabbedSince(6));
    // Let go and taken again (by anyone): the window no longer tells whose the grab is.
    watch.released();
    watch.grabbed();
    EXPECT_FALSE(watch.appearedWhileGrabbed(6));
    watch.appeared(7);
    EXPECT_TRUE(watch.appearedWhileGrabbed(7));
    watch.disappeared(7);
    EXPECT_FALSE(watch.appearedWhileGrabbed(7));
}

}  // namespace
}  // namespace Injector
