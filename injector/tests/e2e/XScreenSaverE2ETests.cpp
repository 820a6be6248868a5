// The unlock against the real xscreensaver on a private Xvfb server: xscreensaver refuses root, so it runs
// as the tests' own ordinary user, started as that user would start it (nothing loaded into it, its own
// environment), checking the password through PAM with a password file of the test's; the companion's
// side (the lock screen watching, the unlocker, the keyboard) runs as that same user, with logind stood
// in on a private bus of that user's. Whether xscreensaver unlocked tells what its dialog read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "injector/HIDEventPoster.h"
#include "injector/LockScreenUnlocker.h"
#include "injector/SystemLockScreen.h"
#include "injector/tests/e2e/CoveredLocker.h"
#include "injector/tests/e2e/PasswordFileService.h"
#include "injector/tests/e2e/RealLockerUnlocks.h"
#include "platform/DispatchQueue.h"
#include "platform/Executor.h"
#include "testing/PrivateBus.h"
#include "testing/SessionServices.h"
#include "testing/Subprocess.h"
#include "testing/UserProcess.h"
#include "testing/XvfbServer.h"

namespace Injector {
namespace {

using namespace std::chrono_literals;
using testing_fakes::unverifiedReason;
using testing_support::XvfbServer;

constexpr const char* dialogProgram = "/usr/libexec/xscreensaver/xscreensaver-auth";

std::optional<std::string> unavailableReason() {
    if (!XvfbServer::isInstalled()) {
        return "Xvfb is not installed (scripts/install-deps.sh brings it)";
    }
    for (const char* program : {"xscreensaver", "xscreensaver-command", "xdotool", "setpriv"}) {
        if (!testing_support::findExecutable(program)) {
            return std::string(program) + " is not installed (scripts/install-deps.sh brings it)";
        }
    }
    if (!std::filesystem::exists(dialogProgram)) {
        return "xscreensaver's dialog program is not installed (scripts/install-deps.sh brings it)";
    }
    if (!testing_pam::pamWrapperFolder()) {
        return "PAM's password-file module is not installed (scripts/install-deps.sh brings it)";
    }
    if (auto reason = testing_support::PrivateBus::unavailableReason()) {
        return reason;
    }
    if (auto reason = testing_support::SessionServices::unavailableReason()) {
        return reason;
    }
    return testing_pam::privateServiceFileUnavailable("xscreensaver");
}

// A folder of the user's own (its home here), removed with everything in it.
struct UserFolder {
    explicit UserFolder(const testing_support::TestUser& user) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "lumivex-xscreensaver-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr || chown(pattern.c_str(), user.uid, user.gid) != 0 ||
            chmod(pattern.c_str(), 0755) != 0) {
            throw std::runtime_error("the user's folder can't be made");
        }
        path = pattern;
    }
    ~UserFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    UserFolder(const UserFolder&) = delete;
    UserFolder& operator=(const UserFolder&) = delete;
    std::filesystem::path path;
};

// The real xscreensaver on the display, as the user: started with nothing but HOME, PATH and DISPLAY in
// its environment, its settings in that HOME (locking on request, no fading, no splash), and a PAM
// service of the test's bind-mounted over its own for it alone, giving the user `password`.
class ScreenSaver {
  public:
    ScreenSaver(const std::string& display, const testing_support::TestUser& user,
                const std::filesystem::path& home, const std::string& password)
        : display_(display), log_(home / "xscreensaver.log") {
        std::ofstream(home / ".xscreensaver")
            << "mode: blank\nlock: True\nlockTimeout: 0:00:00\n"
               "timeout: 1:00:00\nfade: False\nunfade: False\n"
               "splash: False\npasswdTimeout: 0:01:00\ndpmsEnabled: False\n";
        const std::filesystem::path module =
            *testing_pam::pamWrapperFolder() / "pam_wrapper" / "pam_matrix.so";
        testing_pam::writePasswordFileService(home, module, "xscreensaver", user.name, password);
        const std::string identity =
            "--reuid=" + std::to_string(user.uid) + " --regid=" + std::to_string(user.gid);
        process_.emplace(
            std::vector<std::string>{"unshare", "--mount", "--propagation", "private", "sh", "-c",
                                     "mount --bind \"$0\" /etc/pam.d/xscreensaver && exec setpriv " +
                                         identity +
                                         " --clear-groups env -i HOME=\"$1\" PATH=/usr/bin:/bin "
                                         "DISPLAY=\"$2\" xscreensaver -no-splash "
                                         "-verbose",
                                     (home / "xscreensaver").string(), home.string(), display},
            testing_support::EnvironmentChanges{}, log_);
        // It answers commands once it has made its window.
        if (!testing_support::waitUntil([&] { return command({"-version"}).exitCode == 0; }, 20s)) {
            throw std::runtime_error("xscreensaver did not start: " + log());
        }
    }
    ~ScreenSaver() { process_->stop(); }
    ScreenSaver(const ScreenSaver&) = delete;
    ScreenSaver& operator=(const ScreenSaver&) = delete;

    testing_support::CommandResult command(const std::vector<std::string>& arguments) const {
        std::vector<std::string> argv = {"xscreensaver-command"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return testing_support::runCommand(argv, 10s, {{"DISPLAY", display_}});
    }
    // "locked" or "unlocked", as xscreensaver itself says.
    std::string state() const {
        const std::string said = command({"-time"}).output;
        return said.find("screen locked") != std::string::npos ? "locked"
               : said.find("non-blanked") != std::string::npos ? "unlocked"
                                                               : "other: " + said;
    }
    std::string log() const {
        std::ifstream in(log_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

  private:
    std::string display_;
    std::filesystem::path log_;
    std::optional<testing_support::Subprocess> process_;
};

// The command name of the program whose window is on top, while the keyboard is held.
std::string programOnTop(LockScreenProbe& probe) {
    const std::optional<pid_t> holder = probe.session().secureInputPID;
    std::string name;
    if (holder) {
        std::getline(std::ifstream("/proc/" + std::to_string(*holder) + "/comm"), name);
    }
    return name;
}

// Outside any logind session, as tests run, every process is said to be in session 7.
LockSessionLookup sessionSeven() {
    return {[](pid_t) { return std::optional<std::string>("7"); },
            [] { return std::optional<std::string>("7"); }};
}

// The companion's side, run as the user: lines "name=value" for the test to check.
std::string companionSide(const ScreenSaver& saver, const std::string& display, const std::string& home,
                          const std::string& password) {
    std::ostringstream results;
    const LockSessionLookup session = sessionSeven();
    // Watching before the screen is locked, as the companion's lock screen does.
    SystemLockScreen lockScreen(display, session);
    const std::unique_ptr<LockScreenProbe> probe = makeLinuxLockScreenProbe(display, session);
    // Locked by xscreensaver's own command, unless it still is.
    const auto lock = [&] {
        if (saver.state() != "locked") {
            saver.command({"-lock"});
        }
        if (!testing_support::waitUntil([&] { return saver.state() == "locked"; }, 20s)) {
            throw std::runtime_error("xscreensaver did not lock");
        }
    };
    lock();
    // logind's LockedHint stays false, as xscreensaver leaves it: the lock screen sees xscreensaver's lock.
    results << "seenLocked=" << testing_support::waitUntil([&] { return lockScreen.isLocked(); }, 20s)
            << "\n";

    // The very dialog program, started by the user rather than by the xscreensaver holding the keyboard:
    // its window comes on top, and no password may go there.
    {
        testing_support::Subprocess impostor({dialogProgram}, {{"DISPLAY", display}, {"HOME", home}});
        testing_support::waitUntil([&] { return probe->session().secureInputPID == impostor.pid(); }, 20s);
        results << "impostor=" << unverifiedReason(lockScreen) << "\n";
    }

    LockScreenUnlocker::Timing timing;
    // Long enough for the dialog to check the password on a busy machine; an unlock ends the wait.
    timing.unlockTimeout = 5.0;
    for (const bool strayKeys : {false, true}) {
        const std::string name = strayKeys ? "strayKeys" : "plain";
        if (strayKeys) {
            lock();
            // The dialog is up before the unlock begins (as a key pressed on the locked screen brings it),
            // and keys typed at the keyboard are in it.
            saver.command({"-deactivate"});
            testing_support::waitUntil([&] { return programOnTop(*probe) == "xscreensaver-au"; }, 20s);
            const auto typed = testing_support::runCommand({"xdotool", "type", "--delay", "30", "xy"}, 10s,
                                                           {{"DISPLAY", display}});
            results << "typed=" << typed.exitCode << "\n";
            // Made once the dialog is up, a lock screen can't tell whose grab the keyboard's is.
            SystemLockScreen later(display, session);
            results << "later=" << unverifiedReason(later) << "\n";
        }
        HIDEventPoster poster(display, {.briefKeyBindings = true});
        const UnlockReport report = testing_fakes::unlock(lockScreen, display, poster, password, timing);
        results << name << "=" << caseName(report.status) << ": " << report.reason << "\n";
        results << name << "State=" << saver.state() << "\n";
    }
    return results.str();
}

// Windows drawn over the locked xscreensaver, as each run says, as the user: lines
// "name=answer|xscreensaver's state after|what the phones were told", one for each run.
std::string unlocksUnderCovers(const std::vector<testing_fakes::CoveredRun>& runs, const ScreenSaver& saver,
                               const std::string& display, const std::string& password) {
    std::ostringstream results;
    const LockSessionLookup session = sessionSeven();
    // The unlocker's lock screen and the monitor's, watching from before the lock, as the companion's do.
    SystemLockScreen lockScreen(display, session);
    SystemLockScreen monitored(display, session);
    LockScreenUnlocker::Timing timing;
    timing.unlockTimeout = 5.0;
    for (const testing_fakes::CoveredRun& run : runs) {
        if (saver.state() != "locked") {
            saver.command({"-lock"});
        }
        if (!testing_support::waitUntil([&] { return saver.state() == "locked" && monitored.isLocked(); },
                                        20s)) {
            throw std::runtime_error("xscreensaver did not lock");
        }
        testing_fakes::LockStatusPushes pushes([&] { return monitored.isLocked(); },
                                               [&] { return saver.state() == "locked"; });
        const testing_fakes::Cover cover(display, run.size, run.after, run.duration, run.once, run.windows);
        HIDEventPoster poster(display, {.briefKeyBindings = true});
        const UnlockReport report =
            testing_fakes::unlock(lockScreen, display, poster, run.right ? password : "Wrong-9", timing);
        testing_support::waitUntil([&] { return cover.done(); }, 10s);
        results << run.name << "=" << caseName(report.status) << "|" << saver.state() << "|" << pushes.said()
                << "\n"
                << run.name << "Reason=" << report.reason << "\n";
    }
    return results.str();
}

// A window drawn over the locked xscreensaver while the password goes in, one run for each.
std::string coveredSide(const ScreenSaver& saver, const std::string& display, const std::string&,
                        const std::string& password) {
    return unlocksUnderCovers(testing_fakes::coveredRuns(), saver, display, password);
}

// Windows no one sees, a pixel each off the screen, more than the top-most few, up from before the
// request until after xscreensaver took the password.
std::string floodSide(const ScreenSaver& saver, const std::string& display, const std::string&,
                      const std::string& password) {
    using namespace std::chrono_literals;
    return unlocksUnderCovers(
        {{"flood", testing_fakes::Cover::Size::outOfSight, 0ms, 4000ms, true, true, 65}}, saver, display,
        password);
}

std::map<std::string, std::string> linesByName(const std::string& text) {
    std::map<std::string, std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (const std::size_t equals = line.find('='); equals != std::string::npos) {
            lines[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return lines;
}

// The real xscreensaver as the tests' user on a private Xvfb server, and the companion's side (a function
// of this file) run as that user too.
class XScreenSaverE2ETest : public ::testing::Test {
  protected:
    using Side = std::string (*)(const ScreenSaver& saver, const std::string& display,
                                 const std::string& home, const std::string& password);

    void SetUp() override {
        if (const auto reason = unavailableReason()) {
            GTEST_SKIP() << *reason;
        }
        std::string why;
        user = testing_support::testUser(why);
        if (!user) {
            GTEST_SKIP() << why;
        }
        server.emplace();
        home.emplace(*user);
        saver.emplace(server->displayName(), *user, home->path, password);
        std::filesystem::copy_file(testing_support::SessionServices::script(),
                                   home->path / "session_services.py");
    }
    // The side's lines by name.
    std::map<std::string, std::string> runSide(Side side) {
        output = testing_support::runAsUser(
            *user,
            [&] {
                // logind stood in on a private bus of the user's. The source tree may be closed to the user
                // (a checkout in root's home): the stand-ins' copy is its.
                testing_support::PrivateBus bus;
                testing_support::SessionServices services(bus.address(), {"logind"}, bus.folder(),
                                                          home->path / "session_services.py");
                const testing_support::ScopedEnvironment environment(
                    {{"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                     {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}});
                return side(*saver, server->displayName(), home->path.string(), password);
            },
            180s);
        return linesByName(output);
    }
    // What the side said, and xscreensaver's log.
    std::string trace() const { return output + "\nxscreensaver's log:\n" + saver->log(); }

    const std::string password = "Pw-1z!Q";
    std::optional<testing_support::TestUser> user;
    std::optional<XvfbServer> server;
    std::optional<UserFolder> home;
    std::optional<ScreenSaver> saver;
    std::string output;
};

// xscreensaver's dialog reads raw keys while its daemon holds the keyboard, and asks for the modifiers
// and looks the key up only when it gets to it: the unlock opens it at the first try, with characters
// already in it or not, with a password of capitals and punctuation; and only the dialog the daemon of
// this user started, after it was seen taking the keyboard, is the place for the password.
TEST_F(XScreenSaverE2ETest, TheUnlockOpensXScreenSaverAndOnlyItsOwnDialog) {
    std::map<std::string, std::string> results = runSide(companionSide);
    SCOPED_TRACE(trace());
    EXPECT_EQ(results["seenLocked"], "1");
    EXPECT_TRUE(results["impostor"].ends_with(
        "secure input: held by xscreensaver-au (it was not started by xscreensaver)"))
        << results["impostor"];
    EXPECT_TRUE(results["plain"].starts_with("unlocked: Unlocked")) << results["plain"];
    EXPECT_EQ(results["plainState"], "unlocked");
    EXPECT_EQ(results["typed"], "0");
    EXPECT_TRUE(results["later"].ends_with(
        "secure input: held by xscreensaver-au, but the keyboard was not seen held since before its dialog "
        "appeared"))
        << results["later"];
    EXPECT_TRUE(results["strayKeys"].starts_with("unlocked: Unlocked")) << results["strayKeys"];
    EXPECT_EQ(results["strayKeysState"], "unlocked");
}

// Whatever is drawn over xscreensaver's lock (a notification, an on-screen display, the companion's own
// notice of a phone that came back), the screen stays locked for the unlocker and for the phones: the
// answer is xscreensaver's own state, and the phones are told only what it did.
TEST_F(XScreenSaverE2ETest, AWindowOverTheLockChangesNeitherTheLockNorTheAnswer) {
    std::map<std::string, std::string> results = runSide(coveredSide);
    SCOPED_TRACE(trace());
    // Up before the request and gone within the wait for the password field, the notice only delays it.
    EXPECT_EQ(results["notice"], "unlocked|unlocked|locked unlocked");
    for (const char* name : {"fullRight", "notificationRight", "fullWrong", "notificationWrong"}) {
        const std::string& line = results[name];
        const bool right = std::string_view(name).ends_with("Right");
        // Unlocked when xscreensaver unlocked (then told once); otherwise it stayed locked, and the phones
        // heard nothing.
        EXPECT_TRUE((right && line == "unlocked|unlocked|locked unlocked") ||
                    line == "stillLocked|locked|locked" || line == "notReached|locked|locked")
            << name << ": " << line;
    }
}

// However many windows lie over xscreensaver's lock, unseen, the screen stays locked: its dialog, which
// the first key brings up over them, takes the password; and once xscreensaver let go, the windows left
// behind lock nothing.
TEST_F(XScreenSaverE2ETest, NoNumberOfWindowsOverTheLockChangesTheLockOrTheAnswer) {
    std::map<std::string, std::string> results = runSide(floodSide);
    SCOPED_TRACE(trace());
    EXPECT_EQ(results["flood"], "unlocked|unlocked|locked unlocked") << results["floodReason"];
}

}  // namespace
}  // namespace Injector
