// The companion on a desktop with a tray host (trayer on a private Xvfb): its icon is embedded in the
// tray, a click opens the menu with its items, and while a phone pairs the pairing panel floats at the
// top right with the code. The panel's screenshot is kept under the build folder's test-artifacts.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <variant>

#include "testing/CompanionProcess.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;

// Every wait is for a condition, bounded generously: the whole suite runs in parallel, also under the
// sanitizers, and the tray, the window manager's work and Qt's first paint all take their time then.
constexpr auto patience = 60s;

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

class CompanionTray : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"trayer", "xwininfo", "xdotool", "import"}) {
            if (!testing_support::findExecutable(tool)) {
                GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh brings it)";
            }
        }
        if (!testing_support::XvfbServer::isInstalled()) {
            GTEST_SKIP() << "Xvfb is not installed (scripts/install-deps.sh brings it)";
        }
        testing_support::XvfbServer::Options options;
        options.width = 1280;
        options.height = 800;
        server = std::make_unique<testing_support::XvfbServer>(options);
        tray = std::make_unique<testing_support::Subprocess>(
            std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                     "--height", "24", "--SetDockType", "true"},
            testing_support::EnvironmentChanges{{"DISPLAY", server->displayName()}});
        ASSERT_TRUE(testing_support::waitUntil(
            [&] { return tree().find("\"panel\": (\"panel\" \"trayer\")") != std::string::npos; }, patience));
        companion = std::make_unique<testing_support::CompanionProcess>(
            LUMIVEX_COMPANION_PATH, folder.path, server->displayName(), std::vector<std::string>{},
            testing_support::EnvironmentChanges{
                // No session bus: the icon goes to the XEmbed tray.
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder.path / "none").string()},
                {"LUMIVEX_LOG", "debug"}});
    }
    void TearDown() override {
        companion.reset();
        tray.reset();
        server.reset();
    }

    std::string tree() {
        return testing_support::runCommand({"xwininfo", "-root", "-tree"}, 5s,
                                           {{"DISPLAY", server->displayName()}})
            .output;
    }
    std::string log() { return companion->log(); }
    std::optional<std::smatch> waitForLine(const std::regex& pattern) {
        return companion->waitForLine(pattern, patience);
    }
    // The window whose line in the tree matches `pattern`: its id and absolute geometry.
    std::optional<std::pair<std::string, Geometry>> window(const std::string& pattern) {
        const std::regex line("(0x[0-9a-f]+) " + pattern +
                              R"(.*?\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))");
        std::smatch match;
        const std::string all = tree();
        if (!std::regex_search(all, match, line)) {
            return std::nullopt;
        }
        return std::pair{match[1].str(), Geometry{std::stoi(match[4]), std::stoi(match[5]),
                                                  std::stoi(match[2]), std::stoi(match[3])}};
    }

    testing_support::TemporaryFolder folder;
    std::unique_ptr<testing_support::XvfbServer> server;
    std::unique_ptr<testing_support::Subprocess> tray;
    std::unique_ptr<testing_support::CompanionProcess> companion;
};

TEST_F(CompanionTray, TheIconOpensTheMenuAndThePanelShowsTheCode) {
    const auto endpoint = companion->waitUntilReady(patience);

    // The icon is embedded in the tray (a band 24 pixels high at the top); a click opens the menu.
    std::optional<std::pair<std::string, Geometry>> icon;
    ASSERT_TRUE(testing_support::waitUntil(
        [&] {
            icon = window(R"re("Lumivex": \("lumivex-companion" "Lumivex"\))re");
            return icon && icon->second.y < 24;
        },
        patience))
        << tree();
    // No Avahi answers on the bus it was given: the status says phones cannot find it by browsing.
    const std::regex menu(
        "Menu shown: \"Available on your local network, but iPhones can't find this computer by browsing: "
        "[^|]+ \\| Not connected \\| Paired "
        "iPhones \\| Accessibility: Allowed \\| --- \\| Open at Login \\| Notify When "
        "iPhone Connects \\| Shake Pointer to Highlight \\| Unlock from iPhone \\| --- "
        "\\| Protocol v1 \\| Quit Lumivex\"");
    // A click that arrives before the icon takes input is lost: click again until the menu shows.
    bool menuShown = testing_support::waitUntil(
        [&] {
            testing_support::runCommand(
                {"xdotool", "mousemove", std::to_string(icon->second.x + icon->second.width / 2),
                 std::to_string(icon->second.y + icon->second.height / 2), "click", "1"},
                10s, {{"DISPLAY", server->displayName()}});
            return companion->waitForLine(menu, 5s).has_value();
        },
        patience);
    EXPECT_TRUE(menuShown) << log();
    testing_support::runCommand({"xdotool", "key", "Escape"}, 10s, {{"DISPLAY", server->displayName()}});

    // A phone asks to pair: the panel floats at the top right with the code the log names.
    testing_support::PhoneTestClient phone(endpoint, "Tray Phone");
    phone.connect();
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone.requestPairing()));
    const auto code = waitForLine(std::regex(R"(Pairing code for "Tray Phone": (\d{3}) (\d{3}))"));
    ASSERT_TRUE(code) << log();
    // The match points into the log text, which the next wait reads again.
    const std::string digits = (*code)[1].str() + (*code)[2].str();
    // The panel may be mapped before it is moved to its place: wait for the place, then check it.
    std::optional<std::pair<std::string, Geometry>> panel;
    testing_support::waitUntil(
        [&] {
            panel = window(R"("Pairing Code")");
            return panel && std::abs(panel->second.x + panel->second.width - (1280 - 12)) <= 16 &&
                   panel->second.y < 80;
        },
        patience);
    ASSERT_TRUE(panel) << tree();
    EXPECT_NEAR(panel->second.x + panel->second.width, 1280 - 12, 16) << "at the right edge";
    EXPECT_LT(panel->second.y, 80) << "at the top";
    std::string spoken;
    for (char c : digits) {
        spoken += std::string(spoken.empty() ? "" : " ") + c;
    }
    EXPECT_TRUE(waitForLine(std::regex("Announcement: \"Tray Phone wants to pair. Pairing code " + spoken + ".\"")))
        << log();

    // The screenshot is kept for people to look at; it is taken again until the panel has painted.
    const std::filesystem::path artifacts = LUMIVEX_TEST_ARTIFACTS;
    std::filesystem::create_directories(artifacts);
    const auto shot = artifacts / "pairing-panel.png";
    std::error_code ignored;
    std::filesystem::remove(shot, ignored);
    testing_support::waitUntil(
        [&] {
            testing_support::runCommand({"import", "-window", panel->first, shot.string()}, 20s,
                                        {{"DISPLAY", server->displayName()}});
            std::error_code error;
            return std::filesystem::exists(shot) && std::filesystem::file_size(shot, error) > 1000u;
        },
        patience);
    ASSERT_TRUE(std::filesystem::exists(shot));
    EXPECT_GT(std::filesystem::file_size(shot), 1000u);

    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(phone.enterCode(digits)));
    EXPECT_TRUE(waitForLine(std::regex(R"(Announcement: "Paired with Tray Phone.")")));
    EXPECT_EQ(companion->stop(SIGTERM), 0) << log();
}

}  // namespace
