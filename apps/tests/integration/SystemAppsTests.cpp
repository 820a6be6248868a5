// The system provider and launch system against real parts: a private Xvfb with openbox, real test
// applications (xlogo and xcalc) with desktop entries in a temporary data folder, and real inotify.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "apps/AppCatalog.h"
#include "apps/AppLauncher.h"
#include "apps/IconImages.h"
#include "apps/SystemAppCatalogProvider.h"
#include "apps/SystemAppLaunchSystem.h"
#include "apps/tests/TempTree.h"
#include "apps/tests/WindowManager.h"
#include "platform/WorkerThread.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace Apps {
namespace {

using testing::TempTree;
using testing_support::findExecutable;
using testing_support::waitUntil;
using TrackpadProtocol::MacApp;
using TrackpadProtocol::OpenAppResult;
using namespace std::chrono_literals;

const std::string logoEntry =
    "[Desktop Entry]\nType=Application\nName=Test Logo\nExec=xlogo\nStartupWMClass=XLogo\nIcon=test-logo\n";
// No StartupWMClass: matched by its window's instance name, which X toolkits take from the program.
const std::string calcEntry =
    "[Desktop Entry]\nType=Application\nName=Test Calculator\nExec=xcalc\nIcon=test-calc\n";

// Events with the time they came, for the folder-watch tests.
struct EventLog {
    std::mutex mutex;
    std::vector<std::pair<AppCatalogEvent, std::chrono::steady_clock::time_point>> events;
    void add(AppCatalogEvent event) {
        std::lock_guard lock(mutex);
        events.emplace_back(event, std::chrono::steady_clock::now());
    }
    std::size_t count(AppCatalogEvent event) {
        std::lock_guard lock(mutex);
        return static_cast<std::size_t>(std::count_if(events.begin(), events.end(),
                                                      [&](const auto& item) { return item.first == event; }));
    }
    std::vector<std::chrono::steady_clock::time_point> times(AppCatalogEvent event) {
        std::lock_guard lock(mutex);
        std::vector<std::chrono::steady_clock::time_point> out;
        for (const auto& item : events) {
            if (item.first == event) {
                out.push_back(item.second);
            }
        }
        return out;
    }
};

double secondsBetween(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

TEST(FolderWatch, ANewEntryIsReportedAfterTheDebounceAndAgainAfterTheSettleDelay) {
    TempTree tree;
    tree.write("applications/first.desktop", logoEntry);
    std::filesystem::create_directories(tree.root() / "applications/sub/deeper");
    const InstalledAppScanner scanner({tree.root() / "applications"}, 2);
    SystemAppCatalogProvider provider(scanner, 0.3, 1.2, ":no-display");
    EventLog log;
    provider.start([&](AppCatalogEvent event) { log.add(event); });
    EXPECT_EQ(provider.watchedFolders().size(), 3u);

    const auto written = std::chrono::steady_clock::now();
    tree.write("applications/sub/second.desktop", calcEntry);
    ASSERT_TRUE(waitUntil([&] { return log.count(AppCatalogEvent::installedAppsChanged) >= 2; }, 5s));
    const auto times = log.times(AppCatalogEvent::installedAppsChanged);
    EXPECT_GE(secondsBetween(written, times[0]), 0.29);
    EXPECT_LT(secondsBetween(written, times[0]), 1.0);
    EXPECT_GE(secondsBetween(written, times[1]), 1.19);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(log.count(AppCatalogEvent::installedAppsChanged), 2u);

    // A burst: one debounced report and one settled report.
    log.events.clear();
    for (int i = 0; i < 10; ++i) {
        tree.write("applications/burst" + std::to_string(i) + ".desktop", logoEntry);
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(waitUntil([&] { return log.count(AppCatalogEvent::installedAppsChanged) >= 2; }, 5s));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(log.count(AppCatalogEvent::installedAppsChanged), 2u);

    // Stopped right after an event: neither timer reports.
    log.events.clear();
    tree.write("applications/late.desktop", logoEntry);
    std::this_thread::sleep_for(50ms);
    provider.stop();
    EXPECT_TRUE(provider.watchedFolders().empty());
    std::this_thread::sleep_for(1600ms);
    EXPECT_EQ(log.count(AppCatalogEvent::installedAppsChanged), 0u);
}

TEST(FolderWatch, FollowsNewAndReplacedFoldersAndOnlyTheLatestStartReports) {
    TempTree tree;
    std::filesystem::create_directories(tree.root() / "applications/sub");
    const InstalledAppScanner scanner({tree.root() / "applications", tree.root() / "later"}, 2);
    SystemAppCatalogProvider provider(scanner, 0.1, 0.3, ":no-display");
    EventLog first;
    EventLog second;
    provider.start([&](AppCatalogEvent event) { first.add(event); });
    provider.start([&](AppCatalogEvent event) { second.add(event); });

    // The folder is replaced by another of the same path; the new one is watched.
    std::filesystem::rename(tree.root() / "applications/sub", tree.root() / "old-sub");
    std::filesystem::create_directories(tree.root() / "applications/sub/new");
    ASSERT_TRUE(waitUntil([&] { return second.count(AppCatalogEvent::installedAppsChanged) >= 2; }, 5s));
    const auto watched = provider.watchedFolders();
    EXPECT_NE(std::find(watched.begin(), watched.end(), (tree.root() / "applications/sub/new").string()),
              watched.end());
    second.events.clear();
    tree.write("applications/sub/new/app.desktop", logoEntry);
    ASSERT_TRUE(waitUntil([&] { return second.count(AppCatalogEvent::installedAppsChanged) >= 2; }, 5s));
    tree.write("old-sub/ignored.desktop", logoEntry);  // no longer watched
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(second.count(AppCatalogEvent::installedAppsChanged), 2u);
    EXPECT_EQ(first.count(AppCatalogEvent::installedAppsChanged), 0u);
    provider.stop();
}

TEST(FolderWatch, ARootMadeAfterStartIsWatchedAndItsParentsOtherChangesAreNot) {
    TempTree tree;
    const InstalledAppScanner scanner({tree.root() / "fresh/share/applications"}, 2);
    SystemAppCatalogProvider provider(scanner, 0.05, 0.2, ":no-display");
    EventLog log;
    provider.start([&](AppCatalogEvent event) { log.add(event); });

    tree.write("unrelated.txt", "x");
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(log.count(AppCatalogEvent::installedAppsChanged), 0u);

    std::filesystem::create_directories(tree.root() / "fresh/share");
    ASSERT_TRUE(waitUntil([&] { return log.count(AppCatalogEvent::installedAppsChanged) >= 1; }, 5s));
    std::filesystem::create_directories(tree.root() / "fresh/share/applications");
    tree.write("fresh/share/applications/calc.desktop", calcEntry);
    const auto watchesRoot = [&] {
        const auto watched = provider.watchedFolders();
        return std::find(watched.begin(), watched.end(), (tree.root() / "fresh/share/applications").string()) !=
               watched.end();
    };
    ASSERT_TRUE(waitUntil(watchesRoot, 5s));
    {
        std::lock_guard lock(log.mutex);
        log.events.clear();
    }
    tree.write("fresh/share/applications/logo.desktop", logoEntry);
    ASSERT_TRUE(waitUntil([&] { return log.count(AppCatalogEvent::installedAppsChanged) >= 1; }, 5s));
    EXPECT_EQ(provider.installedApplications().size(), 2u);
    // Windows are matched to entries: the running list is looked at again too.
    EXPECT_TRUE(waitUntil([&] { return log.count(AppCatalogEvent::runningAppsChanged) >= 1; }, 5s));
    // Once the root is there, its parent is no longer watched.
    const auto watched = provider.watchedFolders();
    EXPECT_EQ(std::find(watched.begin(), watched.end(), (tree.root() / "fresh/share").string()), watched.end());
    provider.stop();
}

TEST(FolderWatch, AProviderTornDownAtOnceLeavesCleanly) {
    // Its queue may not have run its first task yet, nor the timers of a folder event.
    TempTree tree;
    std::filesystem::create_directories(tree.root() / "applications");
    for (int i = 0; i < 50; ++i) {
        SystemAppCatalogProvider provider(InstalledAppScanner({tree.root() / "applications"}, 2), 0.0, 0.0,
                                          ":no-display");
        if (i % 2 == 0) {
            provider.start([](AppCatalogEvent) {});
            tree.write("applications/a" + std::to_string(i) + ".desktop", logoEntry);
        }
    }
}

TEST(FolderWatch, AProviderLetGoOfInsideItsOwnReportEndsOnItsQueueCleanly) {
    TempTree tree;
    tree.write("applications/first.desktop", logoEntry);
    auto provider = std::make_shared<SystemAppCatalogProvider>(
        InstalledAppScanner({tree.root() / "applications"}, 2), 0.05, 0.2, ":no-display");
    const std::weak_ptr<SystemAppCatalogProvider> watched = provider;
    // The catalog is the provider's only owner, and the catalog's own owner lets go of it when told of the
    // new entry: the provider then goes on its own queue, in the middle of the report that told of it,
    // which goes on to report the running list.
    std::shared_ptr<AppCatalog> catalog;
    catalog = AppCatalog::make(std::move(provider), {}, std::nullopt, AppIconScaler(61440),
                               [&catalog](const AppCatalogUpdate& update) {
                                   if (std::holds_alternative<AppCatalogUpdate::Installed>(update.value)) {
                                       catalog.reset();
                                   }
                               });
    catalog->start();
    ASSERT_EQ(catalog->installedApps().size(), 1u);
    tree.write("applications/second.desktop", calcEntry);
    ASSERT_TRUE(waitUntil([&] { return watched.expired(); }, 5s));
    EXPECT_TRUE(platform::WorkerThread::joinAll(5s));
}

TEST(SystemIcons, ComeFromTheThemeAtTheRightSizeAndBadFilesGiveNone) {
    TempTree tree;
    tree.write("applications/logo.desktop", logoEntry);
    tree.write("applications/calc.desktop", calcEntry);
    tree.write("applications/broken.desktop",
               "[Desktop Entry]\nType=Application\nName=B\nExec=x\nIcon=broken-icon\n");
    tree.write("applications/absolute.desktop", "[Desktop Entry]\nType=Application\nName=Abs\nExec=x\nIcon=" +
                                                    (tree.root() / "abs.png").string() + "\n");
    tree.write("applications/escape.desktop",
               "[Desktop Entry]\nType=Application\nName=E\nExec=x\nIcon=../../abs\n");
    tree.write("icons/hicolor/index.theme",
               "[Icon Theme]\nName=Hicolor\nDirectories=16x16/apps,48x48/apps,scalable/apps\n\n"
               "[16x16/apps]\nSize=16\nType=Fixed\n[48x48/apps]\nSize=48\nType=Fixed\n"
               "[scalable/apps]\nSize=128\nMinSize=8\nMaxSize=512\nType=Scalable\n");
    IconBitmap red;
    red.width = red.height = 48;
    red.pixels.assign(48 * 48 * 4, 255);
    const std::vector<std::uint8_t> png = *encodePNG(red);
    tree.write("icons/hicolor/48x48/apps/test-logo.png", std::string(png.begin(), png.end()));
    tree.write("icons/hicolor/16x16/apps/test-logo.png", "not a png at all");
    tree.write(
        "icons/hicolor/scalable/apps/test-calc.svg",
        R"(<svg xmlns="http://www.w3.org/2000/svg" width="512" height="512"><circle cx="256" cy="256" r="200" fill="#123456"/></svg>)");
    tree.write("icons/hicolor/48x48/apps/broken-icon.png", std::string(png.begin(), png.begin() + 40));
    tree.write("abs.png", std::string(png.begin(), png.end()));

    const InstalledAppScanner scanner({tree.root() / "applications"}, 2);
    auto provider = std::make_shared<SystemAppCatalogProvider>(
        scanner, 1.0, 10.0, ":no-display",
        IconTheme({tree.root() / "icons"}, {tree.root() / "pixmaps"}, "hicolor"),
        IconRenderer(std::filesystem::path(LUMIVEX_ICON_HELPER)));
    auto catalog = AppCatalog::make(provider, {}, std::nullopt, AppIconScaler(61440), {});

    auto logo = provider->icon("logo", 48);
    ASSERT_TRUE(logo);
    EXPECT_EQ(logo->width, 48);
    EXPECT_TRUE(provider->icon("LOGO", 64));  // ids compare without case, as the catalog's cache does
    auto calc = catalog->icon("calc", 256);
    ASSERT_TRUE(calc.image);
    EXPECT_LE(calc.image->size(), 61440u);
    EXPECT_EQ(decodeIcon(*calc.image, 1)->width, 256);
    EXPECT_FALSE(catalog->icon("broken", 48).image);
    EXPECT_TRUE(catalog->icon("absolute", 48).image);
    EXPECT_FALSE(catalog->icon("escape", 48).image);
    EXPECT_FALSE(catalog->icon("unknown", 48).image);
    EXPECT_FALSE(provider->icon("../applications/logo", 48));
    EXPECT_FALSE(provider->icon("logo", 0));
}

// ---- Running applications on Xvfb with openbox ------------------------------------------------------

class DesktopSession : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing_support::XvfbServer::isInstalled() || !findExecutable("openbox") ||
            !findExecutable("xlogo") || !findExecutable("xcalc") || !findExecutable("xdotool")) {
            GTEST_SKIP() << "Xvfb, openbox, xlogo, xcalc or xdotool is not installed";
        }
        xvfb_ = std::make_unique<testing_support::XvfbServer>();
        environment_ =
            std::make_unique<testing_support::ScopedEnvironment>(testing_support::EnvironmentChanges{
                {"DISPLAY", xvfb_->displayName()}, {"XDG_CONFIG_HOME", (tree_.root() / "config").string()}});
        openbox_ = std::make_unique<testing::WindowManager>(xvfb_->displayName());
        ASSERT_TRUE(openbox_->ready()) << "openbox did not start managing windows";
        tree_.write("applications/test.logo.desktop", logoEntry);
        tree_.write("applications/test.calc.desktop", calcEntry);
    }
    void TearDown() override {
        openbox_.reset();
        environment_.reset();
        xvfb_.reset();  // the test applications end with their display
    }

    TempTree tree_;
    std::unique_ptr<testing_support::XvfbServer> xvfb_;
    std::unique_ptr<testing_support::ScopedEnvironment> environment_;
    std::unique_ptr<testing::WindowManager> openbox_;
};

std::optional<MacApp> find(const std::vector<MacApp>& apps, const std::string& id) {
    for (const MacApp& app : apps) {
        if (app.bundleID == id) {
            return app;
        }
    }
    return std::nullopt;
}

TEST_F(DesktopSession, TestApplicationsStartMinimizeAndComeBackThroughOpen) {
    const InstalledAppScanner scanner({tree_.root() / "applications"}, 2);
    auto provider = std::make_shared<SystemAppCatalogProvider>(scanner, 1.0, 10.0);
    std::mutex mutex;
    std::vector<std::vector<MacApp>> published;
    auto catalog = AppCatalog::make(
        provider, {}, std::nullopt, AppIconScaler(61440), [&](const AppCatalogUpdate& update) {
            if (const auto* running = std::get_if<AppCatalogUpdate::Running>(&update.value)) {
                std::lock_guard lock(mutex);
                published.push_back(running->apps);
            }
        });
    catalog->start();
    EXPECT_TRUE(catalog->runningApps().empty());
    const AppLauncher launcher(std::make_shared<SystemAppLaunchSystem>(provider, scanner));
    const auto open = [&](const std::string& id) {
        std::optional<OpenAppResult> result;
        launcher.open(id, [&](OpenAppResult r) { result = r; });
        return result;
    };
    const auto lastPublished = [&] {
        std::lock_guard lock(mutex);
        return published.empty() ? std::vector<MacApp>{} : published.back();
    };

    EXPECT_EQ(open(" test.logo"), (OpenAppResult{" test.logo", OpenAppResult::Status::opened}));
    ASSERT_TRUE(waitUntil([&] { return find(lastPublished(), "test.logo").has_value(); }, 30s))
        << catalog->runningApps().size() << " running; openbox "
        << (openbox_->running() ? "runs" : "has ended") << "; the server's list: "
        << testing_support::runCommand({"xprop", "-root", "_NET_CLIENT_LIST"}, 5s).output;
    EXPECT_EQ(open("test.calc"), (OpenAppResult{"test.calc", OpenAppResult::Status::opened}));
    ASSERT_TRUE(waitUntil([&] { return find(lastPublished(), "test.calc").has_value(); }, 30s));
    // Whether a new window takes the focus is the window manager's choice; opening a running
    // application activates it.
    EXPECT_EQ(open("test.calc"), (OpenAppResult{"test.calc", OpenAppResult::Status::opened}));
    ASSERT_TRUE(waitUntil(
        [&] {
            auto calc = find(lastPublished(), "test.calc");
            return calc && calc->state.contains(MacApp::State::active);
        },
        30s))
        << "the last list had " << lastPublished().size() << " entries";
    auto apps = catalog->runningApps();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0], (MacApp{"test.logo", "Test Logo", {}}));

    // Minimized: the running list says hidden; opening brings it back, active, without a second copy.
    std::vector<std::uint32_t> logoWindows;
    for (const RunningApp& app : provider->runningAppsWithWindows()) {
        if (app.info.bundleID == "test.logo") {
            logoWindows = app.windows;
            // xlogo does not publish its process; the server's X-Resource extension knows it.
            EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(app.info.processID) + "/exe")
                          .filename(),
                      "xlogo");
        }
    }
    ASSERT_EQ(logoWindows.size(), 1u);

    // Its entry's icon is in no theme here, so the icon comes from what its window publishes.
    testing_support::runCommand(
        {"xprop", "-id", std::to_string(logoWindows[0]), "-f", "_NET_WM_ICON", "32c", "-set", "_NET_WM_ICON",
         "1,1,0x80ff0000,2,2,0xffff0000,0xffff0000,0xffff0000,0xff00ff00"},
        5s);
    auto windowIcon = provider->icon("test.logo", 64);
    ASSERT_TRUE(windowIcon);
    EXPECT_EQ(windowIcon->width, 2);  // the larger of the two images
    EXPECT_EQ(windowIcon->pixels[0], 255);
    EXPECT_EQ(windowIcon->pixels[13], 255);  // the last pixel is green
    testing_support::runCommand({"xdotool", "windowminimize", std::to_string(logoWindows[0])}, 5s);
    ASSERT_TRUE(waitUntil(
        [&] {
            auto logo = find(lastPublished(), "test.logo");
            return logo && logo->state.contains(MacApp::State::hidden);
        },
        30s));
    EXPECT_EQ(open("TEST.LOGO"), (OpenAppResult{"TEST.LOGO", OpenAppResult::Status::opened}));
    ASSERT_TRUE(waitUntil(
        [&] {
            auto logo = find(lastPublished(), "test.logo");
            return logo && logo->state == MacApp::State::active;
        },
        30s));
    std::this_thread::sleep_for(300ms);
    std::size_t logos = 0;
    for (const RunningApp& app : provider->runningAppsWithWindows()) {
        logos += app.info.bundleID == "test.logo" ? app.windows.size() : 0;
    }
    EXPECT_EQ(logos, 1u);

    EXPECT_EQ(open("missing.app"), (OpenAppResult{"missing.app", OpenAppResult::Status::notInstalled}));
    EXPECT_EQ(open("../test.logo"), (OpenAppResult{"../test.logo", OpenAppResult::Status::notInstalled}));
    catalog->stop();
}

TEST_F(DesktopSession, OpeningAnAppOnAnotherDesktopShowsThatDesktopAndActivatesIt) {
    const InstalledAppScanner scanner({tree_.root() / "applications"}, 2);
    auto provider = std::make_shared<SystemAppCatalogProvider>(scanner, 1.0, 10.0);
    const AppLauncher launcher(std::make_shared<SystemAppLaunchSystem>(provider, scanner));
    const auto open = [&](const std::string& id) {
        std::optional<OpenAppResult> result;
        launcher.open(id, [&](OpenAppResult r) { result = r; });
        return result;
    };
    const auto logoWindow = [&] {
        for (const RunningApp& app : provider->runningAppsWithWindows()) {
            if (app.info.bundleID == "test.logo" && !app.windows.empty()) {
                return std::optional(app.windows.front());
            }
        }
        return std::optional<std::uint32_t>();
    };
    EXPECT_EQ(open("test.logo"), (OpenAppResult{"test.logo", OpenAppResult::Status::opened}));
    ASSERT_TRUE(waitUntil([&] { return logoWindow().has_value(); }, 30s));
    const std::string window = std::to_string(*logoWindow());
    testing_support::runCommand({"xdotool", "set_desktop_for_window", window, "2"}, 5s);
    testing_support::runCommand({"xdotool", "set_desktop", "0"}, 5s);
    ASSERT_TRUE(waitUntil(
        [&] {
            return testing_support::runCommand({"xdotool", "get_desktop_for_window", window}, 5s).output == "2\n";
        },
        10s));

    EXPECT_EQ(open("test.logo"), (OpenAppResult{"test.logo", OpenAppResult::Status::opened}));
    EXPECT_EQ(testing_support::runCommand({"xdotool", "get_desktop"}, 5s).output, "2\n");
    EXPECT_EQ(testing_support::runCommand({"xdotool", "getactivewindow"}, 5s).output, window + "\n");
}

TEST_F(DesktopSession, TerminalEntriesOpenInTheUsersTerminal) {
    tree_.write("applications/monitor.desktop",
                "[Desktop Entry]\nType=Application\nName=Monitor\nExec=top -d \"2 s\"\nTerminal=true\n");
    const std::filesystem::path fake = tree_.write("bin/fake-term", "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\n");
    std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
    const InstalledAppScanner scanner({tree_.root() / "applications"}, 2);
    auto provider = std::make_shared<SystemAppCatalogProvider>(scanner, 1.0, 10.0);
    const AppLauncher launcher(std::make_shared<SystemAppLaunchSystem>(provider, scanner));
    const auto open = [&](const std::string& id) {
        std::optional<OpenAppResult> result;
        launcher.open(id, [&](OpenAppResult r) { result = r; });
        return result;
    };
    {
        const testing_support::ScopedEnvironment chosen(testing_support::EnvironmentChanges{{"TERMINAL", fake.string()}});
        EXPECT_EQ(open("monitor"), (OpenAppResult{"monitor", OpenAppResult::Status::opened}));
        const std::filesystem::path args = fake.string() + ".args";
        ASSERT_TRUE(waitUntil([&] { return std::filesystem::exists(args) && std::filesystem::file_size(args) > 0; }, 10s));
        std::ifstream in(args);
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(text, "-e\ntop\n-d\n2 s\n");
    }
    if (!findExecutable("x-terminal-emulator")) {
        GTEST_SKIP() << "no x-terminal-emulator is installed";
    }
    // Another entry: the first one's start is still in flight.
    tree_.write("applications/console.desktop",
                "[Desktop Entry]\nType=Application\nName=Console\nExec=top\nTerminal=true\n");
    const testing_support::ScopedEnvironment system(testing_support::EnvironmentChanges{{"TERMINAL", std::nullopt}});
    EXPECT_EQ(open("console"), (OpenAppResult{"console", OpenAppResult::Status::opened}));
    // The terminal's window appears with the program in it.
    EXPECT_TRUE(waitUntil(
        [&] {
            for (const ClientWindow& window : WindowDirectory().clients()) {
                if (window.processID && std::filesystem::exists("/proc/" + std::to_string(*window.processID))) {
                    std::ifstream status("/proc/" + std::to_string(*window.processID) + "/comm");
                    std::string name;
                    std::getline(status, name);
                    if (name != "xlogo" && name != "xcalc") {
                        return true;
                    }
                }
            }
            return false;
        },
        30s));
}

TEST_F(DesktopSession, EntriesThatCannotStartFail) {
    tree_.write("applications/broken.desktop",
                "[Desktop Entry]\nType=Application\nName=B\nExec=xlogo \"oops\n");
    tree_.write("applications/missing.desktop",
                "[Desktop Entry]\nType=Application\nName=M\nExec=lumivex-no-such-program\n");
    tree_.write("applications/terminal.desktop",
                "[Desktop Entry]\nType=Application\nName=T\nExec=top\nTerminal=true\n");
    const InstalledAppScanner scanner({tree_.root() / "applications"}, 2);
    auto provider = std::make_shared<SystemAppCatalogProvider>(scanner, 1.0, 10.0);
    const AppLauncher launcher(std::make_shared<SystemAppLaunchSystem>(provider, scanner));
    // No terminal program anywhere: a terminal application cannot start.
    std::filesystem::create_directories(tree_.root() / "empty-bin");
    const testing_support::ScopedEnvironment noTerminal(testing_support::EnvironmentChanges{
        {"TERMINAL", std::nullopt}, {"PATH", (tree_.root() / "empty-bin").string()}});
    for (const std::string id : {"broken", "missing", "terminal"}) {
        std::optional<OpenAppResult> result;
        launcher.open(id, [&](OpenAppResult r) { result = r; });
        EXPECT_EQ(result, (OpenAppResult{id, OpenAppResult::Status::failed})) << id;
    }
}

}  // namespace
}  // namespace Apps
