// The unlocker typing into a test locker window that grabs the keyboard on a private Xvfb; the Linux
// lock screen refusing a locker it cannot identify; and the screen-lock monitor following a fake
// ScreenSaver service on a private bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "injector/HIDEventPoster.h"
#include "injector/KeyVocabulary.h"
#include "injector/LockScreenUnlocker.h"
#include "injector/ScreenLockMonitor.h"
#include "injector/ScreenLockSignals.h"
#include "injector/ShellLockScreenServices.h"
#include "injector/SystemLockScreen.h"
#include "injector/XTestKeyboard.h"
#include "injector/tests/e2e/UnlockFakes.h"
#include "platform/DBus.h"
#include "platform/DispatchQueue.h"
#include "platform/EventLoop.h"
#include "platform/Executor.h"
#include "testing/PrivateBus.h"
#include "testing/SessionServices.h"
#include "testing/Subprocess.h"
#include "testing/XKeyReader.h"
#include "testing/XvfbServer.h"

namespace Injector {
namespace {

using namespace std::chrono_literals;
using testing_support::XKeyReader;
using testing_support::XvfbServer;

// Locked, with its field verified, until Return unlocks it.
using TestLocker = testing_fakes::VerifiedFieldLockScreen;
using NoLayout = testing_fakes::AnyKeyLayout;

// Records when Return went out.
class TimedPoster final : public EventPoster {
  public:
    explicit TimedPoster(HIDEventPoster& poster) : poster_(poster) {}
    void post(const InputEvent& event) override {
        poster_.post(event);
        if (event.type == EventType::keyUp && event.keyCode == KeyCode::returnKey) {
            returnPosted = platform::monotonicSeconds();
        }
    }
    void settleKeyboard() override { poster_.settleKeyboard(); }
    void beginExclusive() override { poster_.beginExclusive(); }
    void endExclusive() override { poster_.endExclusive(); }
    bool postChecked(const InputEvent& event, const std::function<bool()>& check) override {
        const bool posted = poster_.postChecked(event, check);
        if (posted && event.type == EventType::keyUp && event.keyCode == KeyCode::returnKey) {
            returnPosted = platform::monotonicSeconds();
        }
        return posted;
    }
    std::atomic<double> returnPosted{0};

  private:
    HIDEventPoster& poster_;
};

TEST(LockScreenE2ETest, TheLockerReceivesThePasswordExactlyThenReturn) {
    if (!XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    XvfbServer server;
    XKeyReader locker(server.displayName(), {.grabKeyboard = true});
    const std::vector<std::uint32_t> mappingBefore = locker.keyboardMapping();
    HIDEventPoster hid(server.displayName());
    TimedPoster poster(hid);
    TestLocker lockScreen;
    NoLayout layout;
    platform::DispatchQueue queue("dev.quelmar.trackpad.mac.unlock");
    LockScreenUnlocker unlocker(
        lockScreen, layout, poster, LockScreenUnlocker::Timing{}, queue,
        [&](double seconds) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
            if (poster.returnPosted > 0) {
                lockScreen.locked = false;
            }
        },
        [] { return platform::monotonicSeconds(); }, [](const std::string&) {});

    std::promise<UnlockReport> done;
    const double start = platform::monotonicSeconds();
    unlocker.unlock(
        "pässwörd✓", [] { return false; }, [&](UnlockReport report) { done.set_value(report); });
    const UnlockReport report = done.get_future().get();
    queue.sync([] {});
    EXPECT_EQ(report.status, UnlockStatus::unlocked);
    EXPECT_EQ(report.entry, UnlockEntry::typed);
    ASSERT_TRUE(locker.waitForPresses(10, 5s)) << locker.text();
    // Select all (Control+A) and Delete go first, as the field's count is unknown.
    const std::string text = locker.text();
    EXPECT_EQ(text.substr(text.size() - std::string("pässwörd✓\n").size()), "pässwörd✓\n");
    EXPECT_EQ(locker.keyboardMapping(), mappingBefore);

    // The figure: a 12-character password, from the accepted request to Return. The unlocker's own waits
    // before Return are the settle delay (0.5 s), 0.02 s after each of the 31 events before Return up
    // (nudge 2, select all 4, delete 2, 12 characters 24, Return down 1) and the 0.1 s poll before Return.
    lockScreen.locked = true;
    poster.returnPosted = 0;
    std::promise<UnlockReport> second;
    const double start12 = platform::monotonicSeconds();
    unlocker.unlock(
        "pässwörd✓123", [] { return false; }, [&](UnlockReport r) { second.set_value(r); });
    EXPECT_EQ(second.get_future().get().status, UnlockStatus::unlocked);
    queue.sync([] {});
    const double ownWaits = 0.5 + 31 * 0.02 + 0.1;
    std::printf(
        "[ figure ] 12 characters: accepted unlock to Return posted %.3f s, of which the waits %.3f s\n",
        poster.returnPosted - start12, ownWaits);
    EXPECT_GT(poster.returnPosted - start, 0);
}

void typeCharacters(HIDEventPoster& poster, const std::u16string& text) {
    for (const char16_t character : text) {
        InputEvent event = InputEvent::keyboard(EventType::keyDown, 0, 0);
        event.unicodeText = std::u16string(1, character);
        poster.post(event);
        event.type = EventType::keyUp;
        poster.post(event);
    }
}

// Records when the field was last checked.
class CheckTimes final : public LockScreen {
  public:
    explicit CheckTimes(LockScreen& inner) : inner_(inner) {}
    bool isLocked() override { return inner_.isLocked(); }
    bool displayIsAsleep() override { return inner_.displayIsAsleep(); }
    // The attempt wakes the screen once it has the keyboard to itself.
    void wake() override {
        woken = true;
        inner_.wake();
    }
    LockScreenFocus examine() override { return inner_.examine(); }
    bool isFocused(const LockScreenField& field) override {
        lastCheck = platform::monotonicSeconds();
        return inner_.isFocused(field);
    }
    LockScreenFill fill(const LockScreenField& field, std::string_view password) override {
        return inner_.fill(field, password);
    }
    std::atomic<double> lastCheck{0};
    std::atomic<bool> woken{false};

  private:
    LockScreen& inner_;
};

// A phone's long text is waiting for the keyboard when the unlock starts, and another phone types while it
// runs. The password goes in whole and alone, its keys are checked as they go out (the user unlocking by
// hand while the text is typed would stop them), and the phone is answered only once Return has reached
// the locker.
TEST(LockScreenE2ETest, TheUnlockOwnsTheKeyboardAndIsAnsweredAfterReturnArrived) {
    if (!XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    XvfbServer server;
    XKeyReader locker(server.displayName(), {.grabKeyboard = true});
    auto keyboard = std::make_shared<XTestKeyboard>(server.displayName());
    HIDEventPoster phoneA(server.displayName(), {}, keyboard);
    HIDEventPoster phoneB(server.displayName(), {}, keyboard);
    HIDEventPoster poster(server.displayName(), {}, keyboard);
    TestLocker lockScreen;
    CheckTimes checked(lockScreen);
    NoLayout layout;
    platform::DispatchQueue queue("dev.quelmar.trackpad.mac.unlock");
    LockScreenUnlocker unlocker(
        checked, layout, poster, LockScreenUnlocker::Timing{}, queue,
        [](double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); },
        [] { return platform::monotonicSeconds(); }, [](const std::string&) {});

    // Phone A's text needs key bindings, so it takes a while; the user unlocks by hand once 1200 of its
    // characters are in. Return unlocks too.
    std::u16string textOfA;
    for (char16_t c = u'\u4e00'; textOfA.size() < 3000; ++c) {
        textOfA += c;
    }
    std::atomic<bool> done{false};
    std::atomic<std::size_t> lengthAtHandUnlock{0};
    std::atomic<double> returnArrived{0};
    std::thread user([&] {
        while (!done) {
            const std::string text = locker.text();
            if (lengthAtHandUnlock == 0 && text.size() >= 1200 * 3) {
                lengthAtHandUnlock = text.size();
                lockScreen.locked = false;
            }
            if (text.find('\n') != std::string::npos && returnArrived == 0) {
                returnArrived = platform::monotonicSeconds();
                lockScreen.locked = false;
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    typeCharacters(phoneA, textOfA);
    std::promise<std::pair<UnlockReport, std::string>> answered;
    unlocker.unlock(
        "pässwörd✓", [] { return false; },
        [&](UnlockReport report) {
            // What has reached the locker when the phone is told.
            std::this_thread::sleep_for(100ms);
            answered.set_value({report, locker.text()});
        });
    // Phone B types once the attempt has the keyboard.
    EXPECT_TRUE(testing_support::waitUntil([&] { return checked.woken.load(); }, 10s));
    typeCharacters(phoneB, u"hello");
    const auto [report, textWhenAnswered] = answered.get_future().get();
    queue.sync([] {});
    phoneB.sync();
    std::this_thread::sleep_for(100ms);
    done = true;
    user.join();

    const std::string text = locker.text();
    std::printf("[ figure ] 3000 characters queued: last check to Return at the locker %.1f ms; told %s\n",
                (returnArrived - checked.lastCheck) * 1e3, std::string(caseName(report.status)).c_str());
    const std::size_t password = text.find("pässwörd✓\n");
    ASSERT_NE(password, std::string::npos) << text;
    EXPECT_EQ(lengthAtHandUnlock, 0u) << "the password arrived after the screen had unlocked: " << text;
    // Nothing of either phone inside the attempt: select all, Delete, the password, Return.
    const std::size_t attempt = text.rfind("a\b", password);
    ASSERT_NE(attempt, std::string::npos) << text;
    EXPECT_EQ(text.substr(attempt), "a\bpässwörd✓\nhello") << text;
    EXPECT_EQ(report.status, UnlockStatus::unlocked) << report.reason;
    EXPECT_NE(textWhenAnswered.find("pässwörd✓\n"), std::string::npos)
        << "answered before Return reached the locker: " << textWhenAnswered;
}

TEST(LockScreenE2ETest, TheLinuxLockScreenDoesNotVerifyALockerItCannotIdentify) {
    if (!XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    XvfbServer server;
    XKeyReader locker(server.displayName(), {.grabKeyboard = true});
    // No bus answers here: the session is not positively locked.
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"},
         {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus"}});
    SystemLockScreen lockScreen(server.displayName());
    EXPECT_FALSE(lockScreen.isLocked());
    const LockScreenFocus focus = lockScreen.examine();
    const auto* unverified = std::get_if<LockScreenFocus::Unverified>(&focus.value);
    ASSERT_NE(unverified, nullptr);
    // The grab's holder is named (the reader's override-redirect window is on top), and it is no locker.
    EXPECT_EQ(unverified->reason,
              "system-wide focus: no focused element; no login window process acts as this user; secure "
              "input: held "
              "by InjectorTests_e");
    EXPECT_FALSE(
        lockScreen.isFocused({{SecureInputKey{1}}, std::nullopt, 1, LockScreenFieldCheck::secureInput}));
    EXPECT_TRUE(isKnownScreenLocker("i3lock"));
    EXPECT_FALSE(isKnownScreenLocker("bash"));
}

// Any process may rename itself: a system shell calling itself "i3lock" is not a screen locker, so it
// must never be taken as the holder of the keyboard.
TEST(SystemLockScreenE2ETest, ARenamedSystemProgramIsNoScreenLocker) {
    testing_support::Subprocess impostor(
        {"sh", "-c", "printf i3lock > /proc/self/comm; while :; do sleep 0.1; done"});
    const std::unique_ptr<LockScreenProbe> probe = makeLinuxLockScreenProbe(":0.invalid");
    std::optional<ProbedProcess> info;
    for (int i = 0; i < 200 && !(info && info->name == "i3lock"); ++i) {
        std::this_thread::sleep_for(10ms);
        info = probe->processInfo(impostor.pid());
    }
    ASSERT_TRUE(info && info->name == "i3lock") << "the shell did not rename itself";
    EXPECT_TRUE(info->isLoginWindow);
    EXPECT_FALSE(info->isSystemLoginWindow);
    EXPECT_NE(probe->loginWindowProcess(getuid()), std::optional<pid_t>(impostor.pid()));
}

TEST(SystemUnlockKeyboardLayoutTest, KeysOfTheServersLayout) {
    if (!XvfbServer::isInstalled()) {
        GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    XvfbServer server;
    SystemUnlockKeyboardLayout layout(server.displayName());
    EXPECT_EQ(layout.key("a"), (UnlockKey{0, false, false}));
    EXPECT_EQ(layout.key("A"), (UnlockKey{0, true, false}));
    EXPECT_EQ(layout.key("@"), (UnlockKey{19, true, false}));
    EXPECT_EQ(layout.key("€"), std::nullopt);
    EXPECT_EQ(layout.key("\r"), std::nullopt);
}

// The desktop's ScreenSaver service answers GetActive for whoever owns its name, so only logind's
// LockedHint of our session is followed.
TEST(ScreenLockMonitorE2ETest, FollowsLogindsLockedHintAndNotTheScreenSaverService) {
    if (const auto reason = testing_support::PrivateBus::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    if (const auto reason = testing_support::SessionServices::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    testing_support::PrivateBus bus;
    testing_support::SessionServices services(bus.address(), {"logind", "screensaver"}, bus.folder());
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});

    platform::EventLoop loop;
    SystemLockScreen lockScreen(":nonexistent-display",
                                {[](pid_t) { return std::optional<std::string>("7"); },
                                 [] { return std::optional<std::string>("7"); }});
    // A short poll keeps the test quick; the rechecks are the default ones.
    ScreenLockMonitor monitor(
        loop, [&] { return lockScreen.isLocked(); }, screenLockSignals(loop), 0.5);
    std::vector<bool> changes;
    EXPECT_FALSE(monitor.start([&](bool locked) { changes.push_back(locked); }));
    services.set("ScreenSaverActive", true);
    loop.runFor(0.7);
    EXPECT_TRUE(changes.empty());
    services.set("LockedHint", true);
    loop.runFor(0.3);
    EXPECT_EQ(changes, std::vector<bool>{true});
    loop.runFor(1.0);
    EXPECT_EQ(changes, std::vector<bool>{true});  // reported once
    services.set("Active", false);
    services.set("LockedHint", false);
    loop.runFor(0.7);
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
    monitor.stop();
    services.set("LockedHint", true);
    loop.runFor(0.7);
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
}

// The longest gap between ticks of a 1 ms timer on the loop, from construction on, the one still open
// included.
class StallMeter {
  public:
    explicit StallMeter(platform::EventLoop& loop) : loop_(loop) {
        loop_.post([this] { tick(); });
    }
    ~StallMeter() { loop_.cancel(pending_); }
    double longest() const { return std::max(longest_, platform::monotonicSeconds() - last_); }

  private:
    void tick() {
        const double now = platform::monotonicSeconds();
        longest_ = std::max(longest_, now - last_);
        last_ = now;
        pending_ = loop_.schedule(std::chrono::milliseconds(1), [this] { tick(); });
    }
    platform::EventLoop& loop_;
    double last_ = platform::monotonicSeconds();
    double longest_ = 0;
    platform::EventLoop::TimerID pending_ = 0;
};

// The shell's monitor reads the lock on a worker: logind and a ScreenSaver service that never answer
// cost the main loop nothing, and a lock is still reported.
TEST(ShellScreenLockServiceE2ETest, FollowsTheLockWithoutStallingTheMainLoop) {
    if (const auto reason = testing_support::PrivateBus::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    if (const auto reason = testing_support::SessionServices::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    {
        testing_support::PrivateBus bus;
        testing_support::SessionServices silent(bus.address(), {"logind-silent", "screensaver-silent"},
                                                bus.folder());
        const testing_support::ScopedEnvironment environment(
            {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
        platform::EventLoop loop;
        const auto service = makeShellScreenLockService(loop, ":nonexistent-display");
        // The longest gap between ticks of a 1 ms timer while the loop runs for `seconds`.
        const auto longestStall = [&loop](double seconds) {
            const StallMeter meter(loop);
            loop.runFor(seconds);
            return meter.longest();
        };
        const double idle = longestStall(2.6);
        const double started = platform::monotonicSeconds();
        EXPECT_EQ(service->start([](bool) {}), std::optional<bool>(false));
        // Opening the buses and adding the matches, once.
        const double startCost = platform::monotonicSeconds() - started;
        // Longer than one poll (2 s) with its rechecks.
        const double longest = longestStall(2.6);
        service->stop();
        std::printf(
            "[ figure ] logind and ScreenSaver never answering: start %.2f ms, then longest main-loop "
            "stall %.2f ms (the same loop idle before: %.2f ms)\n",
            startCost * 1e3, longest * 1e3, idle * 1e3);
        EXPECT_LT(longest, 0.25);
    }
    testing_support::PrivateBus bus;
    testing_support::SessionServices services(bus.address(), {"logind"}, bus.folder());
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    platform::EventLoop loop;
    const auto service = makeShellScreenLockService(loop, ":nonexistent-display");
    std::vector<bool> changes;
    service->start([&](bool locked) { changes.push_back(locked); });
    loop.runFor(0.3);
    services.set("LockedHint", true);
    loop.runFor(0.5);
    EXPECT_EQ(changes, std::vector<bool>{true});
    EXPECT_EQ(service->status(), std::optional<bool>(true));
    service->stop();
}

// The shell's unlocker checks the lock on its own queue: with a logind that never answers, unlock
// requests cost the main loop nothing, a burst of them is answered at once as busy rather than queued,
// and every request gets exactly one answer.
TEST(ShellUnlockServiceE2ETest, AnswersUnlockRequestsWithoutStallingTheMainLoop) {
    if (const auto reason = testing_support::PrivateBus::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    if (const auto reason = testing_support::SessionServices::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    using Status = UnlockStatus;
    testing_support::PrivateBus bus;
    testing_support::SessionServices silent(bus.address(), {"logind-silent"}, bus.folder());
    const testing_support::ScopedEnvironment environment(
        {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
    platform::EventLoop loop;
    auto service = makeShellUnlockService(":nonexistent-display");

    constexpr int burst = 200;
    std::mutex mutex;
    std::vector<int> answers(burst + 1, 0);
    std::vector<Status> statuses(burst + 1, Status::unlocked);
    int answered = 0;
    const auto request = [&](int number) {
        service->unlock(
            "hunter2", [] { return false; },
            [&, number](Shell::UnlockReport report) {
                std::lock_guard lock(mutex);
                ++answers[number];
                statuses[number] = report.status;
                ++answered;
            });
    };
    const auto runUntilAnswered = [&](int count, double limit) {
        const double start = platform::monotonicSeconds();
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (answered >= count || platform::monotonicSeconds() - start > limit) {
                    return platform::monotonicSeconds() - start;
                }
            }
            loop.runFor(0.02);
        }
    };

    {
        StallMeter stalls(loop);
        loop.post([&] { request(0); });
        runUntilAnswered(1, 5);
        ASSERT_LT(stalls.longest(), 0.25);
    }
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(answers[0], 1);
        EXPECT_EQ(statuses[0], Status::notLocked);  // a lock nobody confirms is no lock
    }

    // A phone's burst, read in one go.
    StallMeter stalls(loop);
    loop.post([&] {
        for (int number = 1; number <= burst; ++number) {
            request(number);
        }
    });
    const double allAnswered = runUntilAnswered(burst + 1, 10);
    const double longest = stalls.longest();
    service.reset();  // waits for the check still on the queue
    std::lock_guard lock(mutex);
    int busy = 0;
    for (int number = 1; number <= burst; ++number) {
        EXPECT_EQ(answers[number], 1) << number;
        EXPECT_TRUE(statuses[number] == Status::busy || statuses[number] == Status::notLocked) << number;
        busy += statuses[number] == Status::busy ? 1 : 0;
    }
    std::printf(
        "[ figure ] %d unlock requests in a burst, logind never answering: longest main-loop stall %.2f ms, "
        "all answered in %.2f s (%d busy)\n",
        burst, longest * 1e3, allAnswered, busy);
    EXPECT_LT(longest, 0.25);
    EXPECT_GE(busy, burst - 2);
}

}  // namespace
}  // namespace Injector
