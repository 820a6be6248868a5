// The Linux lock screen against a real i3lock on private Xvfb servers, with logind and the ScreenSaver
// service stood in on a private bus: only a locker of our own session on our own display, holding the
// keyboard, is the place a password may go; and a real i3lock checking a password file of the test's
// through PAM, which unlocks only when it read the password exactly.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "injector/HIDEventPoster.h"
#include "injector/KeyVocabulary.h"
#include "injector/LockScreenUnlocker.h"
#include "injector/SystemLockScreen.h"
#include "injector/XTestKeyboard.h"
#include "injector/tests/e2e/CoveredLocker.h"
#include "injector/tests/e2e/PasswordFileService.h"
#include "injector/tests/e2e/RealLockerUnlocks.h"
#include "injector/tests/e2e/UnlockFakes.h"
#include "platform/DispatchQueue.h"
#include "platform/Executor.h"
#include "testing/PrivateBus.h"
#include "testing/SessionServices.h"
#include "testing/Subprocess.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

namespace Injector {
namespace {

using namespace std::chrono_literals;
using testing_fakes::unverifiedReason;
using testing_support::XvfbServer;

std::optional<std::string> unavailableReason() {
    if (!XvfbServer::isInstalled()) {
        return "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    if (!testing_support::findExecutable("i3lock")) {
        return "i3lock is not installed (scripts/install-deps.sh brings it)";
    }
    if (auto reason = testing_support::PrivateBus::unavailableReason()) {
        return reason;
    }
    return testing_support::SessionServices::unavailableReason();
}

// Outside any logind session, as tests run: every process, ours included, is said to be in session 7,
// so that only the display and the keyboard's holder tell the pieces apart.
LockSessionLookup everyoneInSession(std::string session) {
    return {[session](pid_t) { return std::optional<std::string>(session); },
            [] { return std::optional<std::string>("7"); }};
}

std::string thisUserName() {
    const passwd* user = getpwuid(getuid());
    if (user == nullptr) {
        throw std::runtime_error("this user has no name");
    }
    return user->pw_name;
}

// A real i3lock on the display, holding the keyboard once it has started; started as the user would
// (nothing loaded into it), unless the test says otherwise.
class I3lock {
  public:
    explicit I3lock(const std::string& display, testing_support::EnvironmentChanges environment = {},
                    const std::vector<std::string>& command = {"i3lock", "-n"})
        : process_(command, withDisplay(display, std::move(environment))) {
        const std::unique_ptr<LockScreenProbe> probe = makeLinuxLockScreenProbe(display, {});
        if (!testing_support::waitUntil([&] { return probe->secureInputEnabled(); }, 10s)) {
            throw std::runtime_error("i3lock did not take the keyboard");
        }
    }
    pid_t pid() const { return process_.pid(); }
    bool running() { return process_.running(); }
    // The wait status once it has ended; stops it first when it still runs.
    int stop() { return process_.stop(); }

  private:
    static testing_support::EnvironmentChanges withDisplay(const std::string& display,
                                                           testing_support::EnvironmentChanges environment) {
        environment.emplace("DISPLAY", display);
        for (const char* loader : {"LD_PRELOAD", "LD_LIBRARY_PATH", "LD_AUDIT"}) {
            environment.emplace(loader, std::nullopt);
        }
        return environment;
    }
    testing_support::Subprocess process_;
};

// Records when Return went out and how many events went before it.
class TimedPoster final : public EventPoster {
  public:
    explicit TimedPoster(HIDEventPoster& poster) : poster_(poster) {}
    void post(const InputEvent& event) override {
        poster_.post(event);
        if (returnPosted == 0) {
            ++eventsUpToReturn;
        }
        if (event.type == EventType::keyDown && event.keyCode == KeyCode::returnKey) {
            returnPosted = platform::monotonicSeconds();
            ++returns;
        }
    }
    void settleKeyboard() override { poster_.settleKeyboard(); }
    std::atomic<double> returnPosted{0};
    std::atomic<int> eventsUpToReturn{0};
    std::atomic<int> returns{0};

  private:
    HIDEventPoster& poster_;
};

// The application's timing, with the search and the wait after Return shortened so the tests end soon.
LockScreenUnlocker::Timing quickTiming() {
    LockScreenUnlocker::Timing timing;
    timing.fieldTimeout = 1.0;
    timing.unlockTimeout = 0.5;
    return timing;
}

UnlockReport unlock(LockScreen& lockScreen, const std::string& display, EventPoster& poster,
                    const std::string& password, const LockScreenUnlocker::Timing& timing = quickTiming()) {
    return testing_fakes::unlock(lockScreen, display, poster, password, timing);
}

// The review's bypass: a real locker on another X server, an ordinary client holding the keyboard on
// ours, a session said to be locked and a ScreenSaver service saying it is active.
TEST(SystemLockScreenE2ETest, ALockerElsewhereDoesNotVouchForAnOrdinaryClientsGrabOnOurDisplay) {
    if (const auto reason = unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    XvfbServer ours;
    XvfbServer elsewhere;
    testing_support::PrivateBus bus;
    testing_support::SessionServices services(bus.address(), {"logind", "screensaver"}, bus.folder());
    services.set("LockedHint", true);
    services.set("ScreenSaverActive", true);
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    I3lock locker(elsewhere.displayName());
    testing_support::XKeyReader client(ours.displayName(), {.grabKeyboard = true});

    SystemLockScreen lockScreen(ours.displayName(), everyoneInSession("7"));
    EXPECT_TRUE(lockScreen.isLocked());
    const LockScreenFocus focus = lockScreen.examine();
    ASSERT_TRUE(std::holds_alternative<LockScreenFocus::Unverified>(focus.value));
    EXPECT_EQ(std::get<LockScreenFocus::Unverified>(focus.value).reason,
              "system-wide focus: no focused element; no login window process acts as this user; secure "
              "input: held by InjectorTests_e");

    HIDEventPoster poster(ours.displayName());
    const UnlockReport report = unlock(lockScreen, ours.displayName(), poster, "secret");
    EXPECT_EQ(report.status, UnlockStatus::notReached);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(client.text(), "");
}

TEST(SystemLockScreenE2ETest, ARealLockerOfOurSessionOnOurDisplayIsTheLockScreen) {
    if (const auto reason = unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    XvfbServer ours;
    testing_support::PrivateBus bus;
    // The session is active and sets no LockedHint, as under a plain window manager.
    testing_support::SessionServices services(bus.address(), {"logind"}, bus.folder());
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    // The lock screens watch before the locker comes, as the companion's do.
    SystemLockScreen lockScreen(ours.displayName(), everyoneInSession("7"));
    SystemLockScreen otherSession(ours.displayName(), everyoneInSession("8"));
    I3lock locker(ours.displayName());

    EXPECT_TRUE(lockScreen.isLocked());
    const LockScreenFocus focus = lockScreen.examine();
    const auto* found = std::get_if<LockScreenFocus::PasswordField>(&focus.value);
    ASSERT_NE(found, nullptr) << std::get<LockScreenFocus::Unverified>(focus.value).reason;
    EXPECT_EQ(found->field.check, LockScreenFieldCheck::secureInput);
    EXPECT_EQ(found->field.loginWindowProcessID, std::optional<pid_t>(locker.pid()));
    EXPECT_TRUE(lockScreen.isFocused(found->field));
    // The check made before every key press, timed.
    std::vector<double> checks;
    for (int i = 0; i < 20; ++i) {
        const double start = platform::monotonicSeconds();
        EXPECT_TRUE(lockScreen.isLocked() && lockScreen.isFocused(found->field));
        checks.push_back(platform::monotonicSeconds() - start);
    }
    std::sort(checks.begin(), checks.end());
    std::printf("[ figure ] check before a key press: min %.2f ms, median %.2f ms, max %.2f ms\n",
                checks.front() * 1e3, checks[checks.size() / 2] * 1e3, checks.back() * 1e3);
    // Made after the locker took the keyboard, a lock screen cannot tell whose the grab is.
    SystemLockScreen later(ours.displayName(), everyoneInSession("7"));
    const LockScreenFocus unconfirmed = later.examine();
    ASSERT_TRUE(std::holds_alternative<LockScreenFocus::Unverified>(unconfirmed.value));
    EXPECT_NE(std::get<LockScreenFocus::Unverified>(unconfirmed.value)
                  .reason.find("secure input: held by i3lock, but the keyboard was not seen grabbed"),
              std::string::npos)
        << std::get<LockScreenFocus::Unverified>(unconfirmed.value).reason;

    // The same locker in another session is not this session's lock screen.
    EXPECT_TRUE(otherSession.isLocked());
    EXPECT_TRUE(std::holds_alternative<LockScreenFocus::Unverified>(otherSession.examine().value));

    // The figure: a 12-character password, from the accepted request to Return, into the real locker.
    HIDEventPoster hid(ours.displayName());
    TimedPoster poster(hid);
    const double start = platform::monotonicSeconds();
    const UnlockReport report = unlock(lockScreen, ours.displayName(), poster, "pässwörd✓123");
    // The password is not the user's, so the locker stays locked.
    EXPECT_EQ(report.status, UnlockStatus::stillLocked) << report.reason;
    EXPECT_EQ(report.entry, UnlockEntry::typed);
    ASSERT_GT(poster.returnPosted, 0);
    const LockScreenUnlocker::Timing timing = quickTiming();
    const double ownWaits =
        timing.settleDelay + (poster.eventsUpToReturn - 1) * timing.keyInterval + timing.pollInterval;
    std::printf(
        "[ figure ] i3lock, 12 characters: accepted unlock to Return posted %.3f s, of which the "
        "unlocker's own waits %.3f s (%d events before Return)\n",
        poster.returnPosted - start, ownWaits, poster.eventsUpToReturn - 1);
}

// PAM's test wrapper and its password-file module: a locker run with them loaded unlocks with the password
// the test gives, so whether it unlocked tells what it read, with its own keymap and state.
class PasswordFileLocker {
  public:
    PasswordFileLocker(const std::string& display, const std::filesystem::path& libraries,
                       const std::filesystem::path& folder, const std::string& password) {
        testing_pam::writePasswordFileService(folder, libraries / "pam_wrapper" / "pam_matrix.so", "i3lock",
                                              thisUserName(), password);
        locker_.emplace(display, testing_support::EnvironmentChanges{
                                     {"LD_PRELOAD", (libraries / "libpam_wrapper.so").string()},
                                     {"PAM_WRAPPER", "1"},
                                     {"PAM_WRAPPER_SERVICE_DIR", folder.string()}});
    }
    bool running() {
        std::lock_guard lock(mutex_);
        return locker_->running();
    }
    // It ended by itself, unlocked.
    bool unlocked() {
        std::lock_guard lock(mutex_);
        const int status = locker_->stop();
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    std::mutex mutex_;
    std::optional<I3lock> locker_;
};

// The locker's password field, verified for as long as the locker runs.
class RunningLocker final : public LockScreen {
  public:
    explicit RunningLocker(PasswordFileLocker& locker) : locker_(locker) {}
    bool isLocked() override { return locker_.running(); }
    bool displayIsAsleep() override { return false; }
    void wake() override {}
    LockScreenFocus examine() override { return fake_.examine(); }
    bool isFocused(const LockScreenField&) override { return locker_.running(); }
    LockScreenFill fill(const LockScreenField& field, std::string_view password) override {
        return fake_.fill(field, password);
    }

  private:
    PasswordFileLocker& locker_;
    testing_fakes::VerifiedFieldLockScreen fake_;
};

// Whatever the user left locked or latched that changes a key's level, the locker reads the password
// exactly, and the keyboard's locks and latches are as they were once the screen is unlocked.
TEST(SystemLockScreenE2ETest, TheLockerReadsThePasswordWhateverTheUserLeftLockedOrLatched) {
    if (!XvfbServer::isInstalled() || !testing_support::findExecutable("i3lock") ||
        !testing_support::findExecutable("setxkbmap")) {
        GTEST_SKIP() << "Xvfb, i3lock or setxkbmap is not installed (scripts/install-deps.sh brings them)";
    }
    const std::optional<std::filesystem::path> libraries = testing_pam::pamWrapperFolder();
    if (!libraries) {
        GTEST_SKIP() << "PAM's test wrapper is not installed (scripts/install-deps.sh brings it)";
    }
    struct Case {
        const char* what;
        std::vector<std::string> keymap;
        unsigned locked;
        unsigned latched;
        std::string password;
    };
    constexpr unsigned shiftMask = 0x01;
    constexpr unsigned lockMask = 0x02;
    constexpr unsigned levelThreeMask = 0x80;  // Mod5, where the keymaps put Level 3
    const Case cases[] = {
        {"Caps Lock", {"-layout", "us", "-option", ""}, lockMask, 0, "Pw-1z"},
        {"Shift Lock", {"-layout", "us", "-option", "caps:shiftlock"}, shiftMask, 0, "Pw-1z"},
        // On this layout Level 3 turns q into @, e into the euro sign and 7 into a brace.
        {"Level 3 locked", {"-layout", "de", "-option", ""}, levelThreeMask, 0, "Qe7@q-Z"},
        {"a sticky Shift", {"-layout", "us", "-option", ""}, 0, shiftMask, "pW-1z"},
    };
    XvfbServer server;
    testing_support::XKeyReader user(server.displayName());
    // The locker's service file and password file.
    char pattern[] = "/tmp/lumivex-pam-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const struct Folder {
        std::filesystem::path path;
        ~Folder() { std::filesystem::remove_all(path); }
    } folder{pattern};
    LockScreenUnlocker::Timing timing = quickTiming();
    // Long enough for the locker to check the password on a busy machine; a right one ends the wait.
    timing.unlockTimeout = 5.0;
    for (const Case& engaged : cases) {
        std::vector<std::string> argv = {"setxkbmap", "-display", server.displayName()};
        argv.insert(argv.end(), engaged.keymap.begin(), engaged.keymap.end());
        const auto keymap = testing_support::runCommand(argv, 20s);
        ASSERT_EQ(keymap.exitCode, 0) << keymap.errors;
        user.lockModifiers(0xFF, engaged.locked);
        user.latchModifiers(0xFF, engaged.latched);
        ASSERT_EQ(user.lockedModifiers() & 0xFF, engaged.locked) << engaged.what;
        ASSERT_EQ(user.latchedModifiers() & 0xFF, engaged.latched) << engaged.what;

        PasswordFileLocker locker(server.displayName(), *libraries, folder.path, engaged.password);
        RunningLocker lockScreen(locker);
        HIDEventPoster poster(server.displayName(), {.briefKeyBindings = true});
        testing_fakes::AnyKeyLayout layout;
        platform::DispatchQueue queue("dev.quelmar.trackpad.mac.unlock");
        LockScreenUnlocker unlocker(
            lockScreen, layout, poster, timing, queue,
            [](double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); },
            [] { return platform::monotonicSeconds(); }, [](const std::string&) {});
        std::promise<UnlockReport> done;
        unlocker.unlock(
            engaged.password, [] { return false; }, [&](UnlockReport report) { done.set_value(report); });
        const UnlockReport report = done.get_future().get();
        queue.sync([] {});
        poster.sync();
        EXPECT_EQ(report.status, UnlockStatus::unlocked) << engaged.what << ": " << report.reason;
        EXPECT_TRUE(locker.unlocked()) << engaged.what << ": the locker did not take the password";
        EXPECT_EQ(user.lockedModifiers() & 0xFF, engaged.locked) << engaged.what;
        EXPECT_EQ(user.latchedModifiers() & 0xFF, engaged.latched) << engaged.what;
    }
}

// A real i3lock checking the password through PAM, started as the user would, with nothing loaded into
// it: only its PAM service file is the test's, bind-mounted over its own in a mount namespace of its
// own, and names the password-file module with a password file of the test's.
class PrivateServiceLocker {
  public:
    PrivateServiceLocker(const std::string& display, const std::filesystem::path& module,
                         const std::filesystem::path& folder, const std::string& password) {
        testing_pam::writePasswordFileService(folder, module, "i3lock", thisUserName(), password);
        locker_.emplace(display, testing_support::EnvironmentChanges{},
                        std::vector<std::string>{"unshare", "--mount", "--propagation", "private", "sh", "-c",
                                                 "mount --bind \"$0\" /etc/pam.d/i3lock && exec i3lock -n",
                                                 (folder / "i3lock").string()});
    }
    // It ended by itself, unlocked, within `limit`.
    bool unlockedWithin(std::chrono::milliseconds limit) {
        testing_support::waitUntil([&] { return !locker_->running(); }, limit);
        const int status = locker_->stop();
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

  private:
    std::optional<I3lock> locker_;
};

// Characters already in the locker's field (keys pressed on the locked screen, another phone's text) are
// emptied before the password, by keys the locker itself reads so: the locker the companion's own probe
// verified opens at the first try, and counts no failed one.
TEST(SystemLockScreenE2ETest, WhatTheLockersFieldAlreadyHeldIsEmptiedBeforeThePassword) {
    if (const auto reason = unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    if (!testing_support::findExecutable("xdotool")) {
        GTEST_SKIP() << "xdotool is not installed (scripts/install-deps.sh brings it)";
    }
    const std::optional<std::filesystem::path> libraries = testing_pam::pamWrapperFolder();
    if (!libraries) {
        GTEST_SKIP() << "PAM's password-file module is not installed (scripts/install-deps.sh brings it)";
    }
    if (const auto reason = testing_pam::privateServiceFileUnavailable("i3lock")) {
        GTEST_SKIP() << *reason;
    }
    XvfbServer ours;
    testing_support::PrivateBus bus;
    testing_support::SessionServices services(bus.address(), {"logind"}, bus.folder());
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    const std::string password = "Pw-1z";
    LockScreenUnlocker::Timing timing = quickTiming();
    // Long enough for the locker to check the password on a busy machine; a right one ends the wait.
    timing.unlockTimeout = 5.0;
    for (const bool fromAnotherPhone : {false, true}) {
        SCOPED_TRACE(fromAnotherPhone ? "another phone's text went in first"
                                      : "keys pressed on the locked screen");
        SystemLockScreen lockScreen(ours.displayName(), everyoneInSession("7"));
        PrivateServiceLocker locker(ours.displayName(), *libraries / "pam_wrapper" / "pam_matrix.so",
                                    bus.folder(), password);
        auto keyboard = std::make_shared<XTestKeyboard>(ours.displayName());
        HIDEventPoster hid(ours.displayName(), {.briefKeyBindings = true}, keyboard);
        if (fromAnotherPhone) {
            HIDEventPoster phone(ours.displayName(), {}, keyboard);
            phone.setSource(TrackpadProtocol::UUID::random());
            for (const EventType type : {EventType::keyDown, EventType::keyUp}) {
                InputEvent key = InputEvent::keyboard(type, 0, 0);
                key.unicodeText = u"xy";
                phone.post(key);
            }
            phone.sync();
        } else {
            const auto typed = testing_support::runCommand({"xdotool", "type", "--delay", "30", "xy"}, 10s,
                                                           {{"DISPLAY", ours.displayName()}});
            ASSERT_EQ(typed.exitCode, 0) << typed.errors;
        }
        TimedPoster poster(hid);
        const UnlockReport report = unlock(lockScreen, ours.displayName(), poster, password, timing);
        EXPECT_EQ(report.status, UnlockStatus::unlocked) << caseName(report.status) << ": " << report.reason;
        EXPECT_EQ(poster.returns, 1);
        EXPECT_TRUE(locker.unlockedWithin(5s)) << "i3lock did not take the password at the first try";
    }
}

// Without logind the session's state cannot be read: a locker covering our display is locked, but
// nothing binds it to this session, so nothing is typed and the answer is not "not locked".
TEST(SystemLockScreenE2ETest, WithoutLogindACoveringLockerIsLockedButNotVerified) {
    if (const auto reason = unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    XvfbServer ours;
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"},
         {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
    SystemLockScreen lockScreen(ours.displayName(), everyoneInSession("7"));
    I3lock locker(ours.displayName());
    EXPECT_TRUE(lockScreen.isLocked());
    EXPECT_TRUE(std::holds_alternative<LockScreenFocus::Unverified>(lockScreen.examine().value));
    HIDEventPoster poster(ours.displayName());
    const UnlockReport report = unlock(lockScreen, ours.displayName(), poster, "secret");
    EXPECT_EQ(report.status, UnlockStatus::notReached);
    EXPECT_NE(report.reason.find("wasn't verified"), std::string::npos) << report.reason;
}

// Why a genuine i3lock can't check the test's password file here; none when it can.
std::optional<std::string> passwordFileLockerUnavailable() {
    if (auto reason = unavailableReason()) {
        return reason;
    }
    if (!testing_pam::pamWrapperFolder()) {
        return "PAM's password-file module is not installed (scripts/install-deps.sh brings it)";
    }
    return testing_pam::privateServiceFileUnavailable("i3lock");
}

// One unlock for each run, with the run's windows over a genuine i3lock of our session (nothing loaded
// into it, reading the test's password file through PAM), logind setting no LockedHint, as under a plain
// window manager: the locker alone says it is locked. The unlocker's lock screen and the monitor's watch
// from before the lock, as the companion's do. The answer and every lock-status push are set against
// whether i3lock still runs: unlocked only once it read the right password and went; otherwise still
// locked, or not reached when nothing or not all of it was typed. `check` judges each answer further.
void unlockUnderCovers(
    const std::vector<testing_fakes::CoveredRun>& runs, const LockScreenUnlocker::Timing& timing,
    const std::function<void(const testing_fakes::CoveredRun&, const UnlockReport&)>& check) {
    using testing_fakes::Cover;
    XvfbServer ours;
    testing_support::PrivateBus bus;
    testing_support::SessionServices services(bus.address(), {"logind"}, bus.folder());
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    const std::string password = "Pw-1z!Q";
    testing_pam::writePasswordFileService(bus.folder(),
                                          *testing_pam::pamWrapperFolder() / "pam_wrapper" / "pam_matrix.so",
                                          "i3lock", thisUserName(), password);
    SystemLockScreen lockScreen(ours.displayName(), everyoneInSession("7"));
    SystemLockScreen monitored(ours.displayName(), everyoneInSession("7"));
    for (const testing_fakes::CoveredRun& run : runs) {
        SCOPED_TRACE(run.name);
        I3lock locker(
            ours.displayName(), {},
            {"unshare", "--mount", "--propagation", "private", "sh", "-c",
             "mount --bind \"$0\" /etc/pam.d/i3lock && exec i3lock -n", (bus.folder() / "i3lock").string()});
        std::mutex lockerMutex;
        const auto running = [&] {
            std::lock_guard lock(lockerMutex);
            return locker.running();
        };
        std::optional<UnlockReport> report;
        {
            testing_fakes::LockStatusPushes pushes([&] { return monitored.isLocked(); }, running);
            const Cover cover(ours.displayName(), run.size, run.after, run.duration, run.once, run.windows);
            HIDEventPoster poster(ours.displayName());
            report = unlock(lockScreen, ours.displayName(), poster, run.right ? password : "Wrong-9", timing);
            testing_support::waitUntil([&] { return cover.done(); }, 8s);
            // The locker may still be checking the password once the unlocker gave up waiting.
            std::this_thread::sleep_for(500ms);
            EXPECT_FALSE(pushes.wrong()) << pushes.said();
        }
        SCOPED_TRACE(std::string(caseName(report->status)) + ": " + report->reason);
        if (!running()) {
            EXPECT_TRUE(run.right);
            EXPECT_EQ(report->status, UnlockStatus::unlocked);
        } else {
            EXPECT_TRUE(report->status == UnlockStatus::notReached ||
                        report->status == UnlockStatus::stillLocked);
        }
        check(run, *report);
        std::lock_guard lock(lockerMutex);
        locker.stop();
    }
}

// A window drawn over the locker while the password goes in, full-screen or the size of a notification and
// raised again and again, or a notice shown as the request arrives (as the companion's own notice of a
// phone that came back after a quiet spell is): the screen stays locked for the unlocker and for the
// phones, the password goes in only while the locker is on top, and the answer is the locker's own.
TEST(SystemLockScreenE2ETest, AWindowOverTheLockerChangesNeitherTheLockNorTheAnswer) {
    if (const auto reason = passwordFileLockerUnavailable()) {
        GTEST_SKIP() << *reason;
    }
    LockScreenUnlocker::Timing timing = quickTiming();
    timing.fieldTimeout = 5.0;
    timing.unlockTimeout = 3.0;
    unlockUnderCovers(testing_fakes::coveredRuns(), timing,
                      [](const testing_fakes::CoveredRun& run, const UnlockReport& report) {
                          if (run.once) {
                              // Gone within the wait for the password field, the notice only delays the
                              // unlock.
                              EXPECT_EQ(report.status, UnlockStatus::unlocked);
                          }
                      });
}

// However many windows lie over the locker, unseen, the screen stays locked and nothing is typed while
// they do: under windows that appear while the password goes in, typing stops (not reached); under
// windows up before the request, the unlocker waits for the password field and gives up when they stay
// past that wait, or unlocks once they go within it.
TEST(SystemLockScreenE2ETest, NoNumberOfWindowsOverTheLockerChangesTheLockOrTheAnswer) {
    if (const auto reason = passwordFileLockerUnavailable()) {
        GTEST_SKIP() << *reason;
    }
    LockScreenUnlocker::Timing timing = quickTiming();
    timing.fieldTimeout = 2.5;
    timing.unlockTimeout = 3.0;
    unlockUnderCovers(testing_fakes::floodRuns(), timing,
                      [](const testing_fakes::CoveredRun& run, const UnlockReport& report) {
                          const std::string_view name = run.name;
                          if (name == "floodBefore") {
                              EXPECT_EQ(report.status, UnlockStatus::notReached);
                              EXPECT_NE(report.reason.find("wasn't verified within"), std::string::npos);
                          } else if (name == "floodGoneInTime") {
                              EXPECT_EQ(report.status, UnlockStatus::unlocked);
                          }
                      });
}

// The root window's children are counted in 16 bits, which more than 65,535 windows overflow: a locker
// above that many (here unmapped ones of another client) is seen all the same, and the screen is locked.
TEST(SystemLockScreenE2ETest, MoreWindowsThanSixteenBitsCountDoNotHideTheLocker) {
    if (const auto reason = unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    XvfbServer ours;
    testing_support::PrivateBus bus;
    testing_support::SessionServices services(bus.address(), {"logind"}, bus.folder());
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    SystemLockScreen lockScreen(ours.displayName(), everyoneInSession("7"));
    xcb_connection_t* c = xcb_connect(ours.displayName().c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(c), 0);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    for (int i = 0; i < 70000; ++i) {
        xcb_create_window(c, 0, xcb_generate_id(c), root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
    }
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    I3lock locker(ours.displayName());

    EXPECT_TRUE(lockScreen.isLocked());
    HIDEventPoster poster(ours.displayName());
    const UnlockReport report = unlock(lockScreen, ours.displayName(), poster, "secret");
    EXPECT_TRUE(report.status == UnlockStatus::notReached || report.status == UnlockStatus::stillLocked)
        << caseName(report.status) << ": " << report.reason;
    EXPECT_TRUE(locker.running());
    xcb_disconnect(c);
}

// An ordinary client holds the keyboard; a genuine i3lock of our session is started on our display,
// cannot grab it, and keeps its window on top while it retries (about 2.5 s) before it gives up. Its
// window proves nothing about the grab: nothing is typed, and the phone is not told "unlocked".
TEST(SystemLockScreenE2ETest, ALockerThatCouldNotGrabDoesNotVouchForAnotherClientsGrab) {
    if (const auto reason = unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    XvfbServer ours;
    testing_support::PrivateBus bus;
    // logind says active and not locked, as it did.
    testing_support::SessionServices services(bus.address(), {"logind"}, bus.folder());
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    SystemLockScreen lockScreen(ours.displayName(), everyoneInSession("7"));
    testing_support::XKeyReader client(ours.displayName(), {.grabKeyboard = true});
    testing_support::Subprocess locker({"i3lock", "-n"}, {{"DISPLAY", ours.displayName()},
                                                          {"LD_PRELOAD", std::nullopt},
                                                          {"LD_LIBRARY_PATH", std::nullopt},
                                                          {"LD_AUDIT", std::nullopt}});
    const std::unique_ptr<LockScreenProbe> probe = makeLinuxLockScreenProbe(ours.displayName(), {});
    ASSERT_TRUE(testing_support::waitUntil(
        [&] { return probe->session().secureInputPID == std::optional<pid_t>(locker.pid()); }, 5s))
        << "i3lock's window did not come on top";

    // A slow machine may see i3lock give up already; then the client's own window is on top again.
    const std::string reason = unverifiedReason(lockScreen);
    EXPECT_TRUE(reason.ends_with("secure input: held by i3lock, but the keyboard was not seen grabbed after "
                                 "its window appeared") ||
                (reason.ends_with("secure input: held by InjectorTests_e") && !locker.running()))
        << reason;
    HIDEventPoster poster(ours.displayName());
    const UnlockReport report = unlock(lockScreen, ours.displayName(), poster, "secret");
    EXPECT_TRUE(report.status == UnlockStatus::notReached || report.status == UnlockStatus::notLocked)
        << caseName(report.status) << ": " << report.reason;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(client.text(), "");
}

// Code loaded into a genuine locker would receive the password: a locker started with LD_PRELOAD (here a
// copy of a harmless system library, loaded from outside the system's folders) is not the lock screen.
TEST(SystemLockScreenE2ETest, ALockerWithCodePreloadedIntoItIsNotTheLockScreen) {
    if (const auto reason = unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    // The folder of the C library this test runs with holds the loader's small libdl.
    const std::filesystem::path library = testing_pam::cLibraryFolder() / "libdl.so.2";
    if (testing_pam::cLibraryFolder().empty() || !std::filesystem::exists(library)) {
        GTEST_SKIP() << "no libdl.so.2 beside the C library";
    }
    XvfbServer ours;
    testing_support::PrivateBus bus;
    testing_support::SessionServices services(bus.address(), {"logind"}, bus.folder());
    services.set("LockedHint", true);
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    const std::filesystem::path copy = bus.folder() / "libdl.so.2";
    std::filesystem::copy_file(library, copy);
    SystemLockScreen lockScreen(ours.displayName(), everyoneInSession("7"));
    I3lock locker(ours.displayName(), {{"LD_PRELOAD", copy.string()}});

    EXPECT_TRUE(unverifiedReason(lockScreen)
                    .ends_with("secure input: held by i3lock (its environment sets LD_PRELOAD)"))
        << unverifiedReason(lockScreen);
    HIDEventPoster hid(ours.displayName());
    TimedPoster poster(hid);
    const UnlockReport report = unlock(lockScreen, ours.displayName(), poster, "secret");
    EXPECT_EQ(report.status, UnlockStatus::notReached) << report.reason;
    EXPECT_EQ(poster.returnPosted, 0);
}

// A locker may grab the keyboard for a window of its own rather than the root window. With the focus
// in another top-level window (as a window manager leaves it) only those two windows hear of that grab,
// and it is seen all the same; a probe made after the grab cannot tell whose it is.
TEST(SystemLockScreenE2ETest, AGrabForANewWindowIsSeenWhereverTheFocusWas) {
    if (!XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    XvfbServer ours;
    testing_support::XKeyReader focused(ours.displayName());
    const std::unique_ptr<LockScreenProbe> before = makeLinuxLockScreenProbe(ours.displayName(), {});

    xcb_connection_t* c = xcb_connect(ours.displayName().c_str(), nullptr);
    ASSERT_EQ(xcb_connection_has_error(c), 0);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t overrideRedirect[] = {1};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, root, 0, 0, 300, 300, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT, overrideRedirect);
    xcb_map_window(c, window);
    xcb_grab_keyboard_reply_t* grab = xcb_grab_keyboard_reply(
        c, xcb_grab_keyboard(c, 0, window, XCB_CURRENT_TIME, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
        nullptr);
    ASSERT_TRUE(grab != nullptr && grab->status == XCB_GRAB_STATUS_SUCCESS);
    std::free(grab);

    const LockScreenSession watched = before->session();
    EXPECT_EQ(watched.secureInputPID, std::optional<pid_t>(getpid()));
    EXPECT_EQ(watched.secureInputDoubt, std::nullopt);
    const LockScreenSession unwatched = makeLinuxLockScreenProbe(ours.displayName(), {})->session();
    EXPECT_EQ(unwatched.secureInputPID, std::optional<pid_t>(getpid()));
    EXPECT_EQ(unwatched.secureInputDoubt, "the keyboard was not seen grabbed after its window appeared");
    // Let go, the grab no longer stands for the window.
    xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    EXPECT_EQ(before->session().secureInputPID, std::nullopt);
    xcb_disconnect(c);
}

TEST(SystemLockScreenE2ETest, DisplayNamesCompareWithoutTheirScreen) {
    EXPECT_TRUE(sameXDisplay(":1", ":1.0"));
    EXPECT_TRUE(sameXDisplay("unix:12.1", ":12"));
    EXPECT_FALSE(sameXDisplay(":1", ":10"));
    EXPECT_FALSE(sameXDisplay("otherhost:1", ":1"));
    EXPECT_FALSE(sameXDisplay("", ""));
    EXPECT_FALSE(sameXDisplay(":x", ":x"));
}

}  // namespace
}  // namespace Injector
