#include "apps/RunningApps.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "apps/IconTheme.h"
#include "apps/tests/TempTree.h"

namespace Apps {
namespace {

using Policy = RunningAppInfo::ActivationPolicy;

InstalledAppScanner::Record record(std::string id, std::string name, std::string exec,
                                   std::string wmClass = {}) {
    InstalledAppScanner::Record r;
    r.id = std::move(id);
    r.path = "/apps/" + r.id + ".desktop";
    r.entry.type = "Application";
    r.entry.name = std::move(name);
    r.entry.exec = std::move(exec);
    r.entry.startupWMClass = std::move(wmClass);
    return r;
}

ClientWindow window(std::uint32_t id, std::optional<pid_t> pid, std::string instance, std::string className) {
    ClientWindow w;
    w.window = id;
    w.processID = pid;
    w.instanceName = std::move(instance);
    w.className = std::move(className);
    return w;
}

TEST(RunningApps, MatchesWindowsToEntriesAndGroupsThemByProcess) {
    const std::vector<InstalledAppScanner::Record> records{
        record("org.gnome.TextEditor", "Text Editor", "gnome-text-editor %U"),
        record("firefox-esr", "Firefox", "/usr/lib/firefox-esr/firefox-esr %u", "Firefox-esr"),
        record("org.example.Viewer", "Viewer", "viewer"),
        record("xterm", "XTerm", "xterm"),
    };
    const pid_t self = ::getpid();
    std::vector<ClientWindow> clients{
        window(1, self, "gnome-text-editor", "Gnome-text-editor"),
        window(2, std::nullopt, "Navigator", "Firefox-esr"),
        window(3, std::nullopt, "viewer", "Viewer"),
        window(4, std::nullopt, "xterm", "XTerm"),
        window(5, std::nullopt, "unknown", "Unknown"),
        window(6, self, "dialog", "Gnome-text-editor"),
        window(7, std::nullopt, "xterm", "XTerm"),
    };
    clients[0].applicationID = "org.gnome.TextEditor";
    clients[0].isHidden = true;
    clients[5].isActive = true;
    clients[5].isNormal = false;  // a utility window: its app is active, but its state does not count
    clients[3].isHidden = true;
    clients[6].isHidden = false;
    const std::vector<RunningApp> apps = runningApps(clients, records);
    ASSERT_EQ(apps.size(), 5u);
    EXPECT_EQ(apps[0].info.bundleID, "org.gnome.TextEditor");
    EXPECT_EQ(apps[0].info.processID, self);
    EXPECT_TRUE(apps[0].info.isActive);
    EXPECT_TRUE(apps[0].info.isHidden);
    EXPECT_EQ(apps[0].windows, (std::vector<std::uint32_t>{1, 6}));
    EXPECT_EQ(apps[0].info.bundleURL, std::filesystem::path("/apps/org.gnome.TextEditor.desktop"));
    EXPECT_EQ(apps[1].info.bundleID, "firefox-esr");         // by StartupWMClass
    EXPECT_EQ(apps[2].info.bundleID, "org.example.Viewer");  // by the id's last part
    EXPECT_EQ(apps[3].info.bundleID, "xterm");
    EXPECT_FALSE(apps[3].info.isHidden);  // one of its two windows is visible
    EXPECT_EQ(apps[3].windows.size(), 2u);
    EXPECT_FALSE(apps[4].info.bundleID);
    EXPECT_EQ(apps[4].info.name, "Unknown");
    for (const RunningApp& app : apps) {
        EXPECT_EQ(app.info.activationPolicy, Policy::regular);
    }
}

TEST(RunningApps, LeavesOutEndedProcessesAndCallsWindowlessOnesAccessory) {
    std::vector<ClientWindow> clients{window(1, 0x7FFFFFF0, "gone", "Gone"),
                                      window(2, ::getpid(), "panel", "Panel")};
    clients[1].isNormal = false;
    const std::vector<RunningApp> apps = runningApps(clients, {});
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0].info.activationPolicy, Policy::accessory);
}

TEST(IconTheme, PrefersAnExactSizeThenTheClosestAndFollowsInheritanceToHicolorAndPixmaps) {
    testing::TempTree tree;
    tree.write("icons/Mine/index.theme",
               "[Icon Theme]\nInherits=Parent\nDirectories=32/apps\n[32/apps]\nSize=32\nType=Fixed\n");
    tree.write("icons/Parent/index.theme",
               "[Icon "
               "Theme]\nDirectories=16/apps,64/apps\n[16/apps]\nSize=16\nType=Fixed\n[64/"
               "apps]\nSize=64\nType=Fixed\n");
    tree.write("icons/hicolor/index.theme",
               "[Icon Theme]\nDirectories=48/apps\n[48/apps]\nSize=48\nType=Threshold\n");
    tree.write("icons/Mine/32/apps/own.png", "x");
    tree.write("icons/Parent/16/apps/parent.png", "x");
    tree.write("icons/Parent/64/apps/parent.svg", "x");
    tree.write("icons/hicolor/48/apps/base.xpm", "x");
    tree.write("pixmaps/legacy.png", "x");
    const IconTheme theme({tree.root() / "icons"}, {tree.root() / "pixmaps"}, "Mine");
    EXPECT_EQ(theme.find("own", 256), tree.root() / "icons/Mine/32/apps/own.png");
    EXPECT_EQ(theme.find("parent", 60), tree.root() / "icons/Parent/64/apps/parent.svg");
    EXPECT_EQ(theme.find("parent", 16), tree.root() / "icons/Parent/16/apps/parent.png");
    EXPECT_EQ(theme.find("base", 50), tree.root() / "icons/hicolor/48/apps/base.xpm");
    EXPECT_EQ(theme.find("legacy.png", 48), tree.root() / "pixmaps/legacy.png");
    EXPECT_FALSE(theme.find("missing", 48));
    EXPECT_FALSE(theme.find("../pixmaps/legacy", 48));
    EXPECT_EQ(theme.find((tree.root() / "pixmaps/legacy.png").string(), 48),
              tree.root() / "pixmaps/legacy.png");

    // A configured theme that is not installed, or inherits only themes that are not, still ends in
    // hicolor.
    EXPECT_EQ(IconTheme({tree.root() / "icons"}, {}, "Absent").find("base", 48),
              tree.root() / "icons/hicolor/48/apps/base.xpm");
    tree.write("icons/Orphan/index.theme", "[Icon Theme]\nInherits=Gone\nDirectories=\n");
    EXPECT_EQ(IconTheme({tree.root() / "icons"}, {}, "Orphan").find("base", 48),
              tree.root() / "icons/hicolor/48/apps/base.xpm");
}

}  // namespace
}  // namespace Apps
