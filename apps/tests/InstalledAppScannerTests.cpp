#include "apps/InstalledAppScanner.h"

#include <gtest/gtest.h>

#include "apps/tests/TempTree.h"
#include "testing/Subprocess.h"

namespace Apps {
namespace {

using testing::desktopFile;
using testing::TempTree;

std::vector<std::string> ids(const std::vector<InstalledAppInfo>& apps) {
    std::vector<std::string> out;
    for (const InstalledAppInfo& app : apps) {
        out.push_back(app.bundleID);
    }
    return out;
}

TEST(DesktopEntry, ParsesTheEntryGroupWithEscapesAndTheLocalizedName) {
    const std::string text =
        "# comment\n[Desktop Entry]\nName=Files\nName[de]=Dateien\nName[de_AT]=Akten\n"
        "Comment=Browse\\sthe\\nfiles\nExec=files %U\nIcon=system-file-manager\n"
        "OnlyShowIn=GNOME;KDE\\;X;\nNoDisplay=false\nType=Application\n"
        "[Desktop Action New]\nName=Override\n";
    auto entry = parseDesktopEntry(text, {"de_AT", "de"});
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->name, "Akten");
    EXPECT_EQ(parseDesktopEntry(text, {"de_CH", "de"})->name, "Dateien");
    EXPECT_EQ(parseDesktopEntry(text, {})->name, "Files");
    EXPECT_EQ(entry->onlyShowIn, (std::vector<std::string>{"GNOME", "KDE;X"}));
    EXPECT_EQ(unescapeDesktopValue("a\\sb\\tc\\\\d\\q"), "a b\tc\\d\\q");

    EXPECT_FALSE(parseDesktopEntry("[Other]\nName=x\n", {}));
    EXPECT_FALSE(parseDesktopEntry(std::string("[Desktop Entry]\nName=a\0b\n", 25), {}));
    EXPECT_FALSE(parseDesktopEntry("[Desktop Entry]\nName=\xFF\xFE\n", {}));
}

TEST(DesktopEntry, LocaleCandidatesGoFromMostToLeastSpecific) {
    testing_support::ScopedEnvironment environment(
        {{"LC_ALL", std::nullopt}, {"LC_MESSAGES", "sr_RS.UTF-8@latin"}, {"LANG", "en_US.UTF-8"}});
    EXPECT_EQ(messageLocales(), (std::vector<std::string>{"sr_RS@latin", "sr_RS", "sr@latin", "sr"}));
}

TEST(InstalledAppScanner, WalksRootsInOrderWithIdsFromPathsAndTheDepthLimit) {
    TempTree tree;
    tree.write("home/applications/b.desktop", desktopFile("Beta"));
    tree.write("home/applications/kde/one.desktop", desktopFile("One"));
    tree.write("home/applications/x/y/two.desktop", desktopFile("Two"));
    tree.write("home/applications/x/y/z/three.desktop", desktopFile("Three"));
    tree.write("home/applications/a 10.desktop", desktopFile("A10"));
    tree.write("home/applications/a 9.desktop", desktopFile("A9"));
    tree.write("home/applications/.hidden.desktop", desktopFile("Hidden"));
    tree.write("home/applications/notes.txt", "x");
    tree.write("system/applications/b.desktop", desktopFile("System Beta"));
    tree.write("system/applications/c.desktop", desktopFile("Gamma"));
    std::filesystem::create_directory_symlink(tree.root() / "system/applications",
                                              tree.root() / "home/applications/link");
    std::filesystem::create_symlink(tree.root() / "system/applications/c.desktop",
                                    tree.root() / "home/applications/linked.desktop");
    // Loops of links are never entered, and a link to nowhere is skipped.
    std::filesystem::create_directory_symlink(tree.root() / "home/applications",
                                              tree.root() / "home/applications/x/loop");
    std::filesystem::create_symlink(tree.root() / "nowhere.desktop",
                                    tree.root() / "home/applications/dangling.desktop");

    const InstalledAppScanner scanner(
        {tree.root() / "home/applications", tree.root() / "missing", tree.root() / "system/applications"}, 2);
    auto apps = scanner.installedApplications();
    EXPECT_EQ(ids(apps), (std::vector<std::string>{"a 9", "a 10", "b", "kde-one", "linked", "x-y-two", "c"}));
    EXPECT_EQ(apps[2].name, "Beta");
    EXPECT_EQ(apps[2].url, tree.root() / "home/applications/b.desktop");
    EXPECT_EQ(ids(InstalledAppScanner({tree.root() / "home/applications"}, 0).installedApplications()).size(),
              4u);
    EXPECT_EQ(InstalledAppScanner({}, -3).maxDepth(), 0);
}

TEST(InstalledAppScanner, LeavesOutEntriesThatAreNotShownAndTheyStillMaskLaterOnes) {
    TempTree tree;
    testing_support::ScopedEnvironment environment(
        testing_support::EnvironmentChanges{{"XDG_CURRENT_DESKTOP", "Openbox:X-Test"}});
    tree.write("a/link.desktop", "[Desktop Entry]\nType=Link\nName=L\nURL=x\n");
    tree.write("a/nodisplay.desktop", desktopFile("N", "NoDisplay=true\n"));
    tree.write("a/hidden.desktop", desktopFile("H", "Hidden=true\n"));
    tree.write("a/only.desktop", desktopFile("O", "OnlyShowIn=GNOME;\n"));
    tree.write("a/onlyours.desktop", desktopFile("Ours", "OnlyShowIn=GNOME;X-Test;\n"));
    tree.write("a/not.desktop", desktopFile("Not", "NotShowIn=Openbox;\n"));
    tree.write("a/tryexec.desktop", desktopFile("T", "TryExec=lumivex-no-such-program\n"));
    tree.write("a/tryok.desktop", desktopFile("TryOK", "TryExec=true\n"));
    tree.write("a/binary.desktop", std::string("\x7F"
                                               "ELF\0\0\0garbage",
                                               13));
    tree.write("a/noname.desktop", "[Desktop Entry]\nType=Application\nExec=x\n");
    tree.write("b/hidden.desktop", desktopFile("System copy"));
    tree.write("b/binary.desktop", desktopFile("Shown: the damaged file masks nothing"));
    std::filesystem::create_directory(tree.root() / "a/huge");
    {
        std::string huge = desktopFile("Huge") + std::string(maxDesktopFileBytes, '#');
        tree.write("a/huge/big.desktop", huge);
    }
    const InstalledAppScanner scanner({tree.root() / "a", tree.root() / "b"}, 2);
    auto apps = scanner.installedApplications();
    EXPECT_EQ(ids(apps), (std::vector<std::string>{"noname", "onlyours", "tryok", "binary"}));
    EXPECT_EQ(apps[0].name, "noname");  // no Name: the file's stem
}

TEST(InstalledAppScanner, AFileNameThatIsNotUTF8LeavesOutOnlyThatEntry) {
    TempTree tree;
    tree.write("a/caf\xE9.desktop", desktopFile("Cafe"));
    tree.write("a/sub\xFF/inner.desktop", desktopFile("Inner"));
    tree.write("a/calc.desktop", desktopFile("Calc"));
    tree.write("a/caf\xC3\xA9.desktop", desktopFile("Caf\xC3\xA9"));
    const InstalledAppScanner scanner({tree.root() / "a"}, 2);
    EXPECT_EQ(ids(scanner.installedApplications()), (std::vector<std::string>{"caf\xC3\xA9", "calc"}));
}

TEST(InstalledAppScanner, TheDefaultRootsAreTheXDGApplicationFoldersInPrecedenceOrder) {
    TempTree tree;
    tree.write("home/applications/same.desktop", desktopFile("From home"));
    tree.write("first/applications/same.desktop", desktopFile("From first"));
    tree.write("first/applications/one.desktop", desktopFile("One"));
    tree.write("second/applications/two.desktop", desktopFile("Two"));
    testing_support::ScopedEnvironment environment(testing_support::EnvironmentChanges{
        {"XDG_DATA_HOME", (tree.root() / "home").string()},
        {"XDG_DATA_DIRS", (tree.root() / "first").string() + ":" + (tree.root() / "second").string()}});
    const InstalledAppScanner scanner;
    EXPECT_EQ(scanner.maxDepth(), 2);
    auto apps = scanner.installedApplications();
    EXPECT_EQ(ids(apps), (std::vector<std::string>{"same", "one", "two"}));
    EXPECT_EQ(apps[0].name, "From home");
}

TEST(InstalledAppScanner, PlausibleIdsAreShortAndCannotNameAPath) {
    EXPECT_TRUE(InstalledAppScanner::isPlausibleID("org.example.App"));
    EXPECT_FALSE(InstalledAppScanner::isPlausibleID(""));
    EXPECT_FALSE(InstalledAppScanner::isPlausibleID("../../etc/passwd"));
    EXPECT_FALSE(InstalledAppScanner::isPlausibleID("a/b"));
    EXPECT_FALSE(InstalledAppScanner::isPlausibleID(std::string("a\0b", 3)));
    EXPECT_FALSE(InstalledAppScanner::isPlausibleID(std::string(256, 'a')));
}

}  // namespace
}  // namespace Apps
