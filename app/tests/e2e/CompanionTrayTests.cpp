// The companion on a desktop with a tray host (trayer on a private Xvfb): its icon is embedded in the
// tray, a click opens the menu with its items, and while a phone pairs the pairing panel floats at the
// top right with the code. The panel's screenshot is kept under the build folder's test-artifacts.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <variant>

#include "app/tests/e2e/QtChildSanitizer.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;

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
        std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-tray-XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        folder = pattern;
        testing_support::XvfbServer::Options options;
        options.width = 1280;
        options.height = 800;
        server = std::make_unique<testing_support::XvfbServer>(options);
        tray = std::make_unique<testing_support::Subprocess>(
            std::vector<std::string>{"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                     "--height", "24", "--SetDockType", "true"},
            testing_support::EnvironmentChanges{{"DISPLAY", server->displayName()}});
        ASSERT_TRUE(testing_support::waitUntil(
            [&] { return tree().find("\"panel\": (\"panel\" \"trayer\")") != std::string::npos; }, 10s));
        companion = std::make_unique<testing_support::Subprocess>(
            std::vector<std::string>{LUMIVEX_COMPANION_PATH, "--log-to-stderr"},
            testing_support::EnvironmentChanges{
                {"DISPLAY", server->displayName()},
                {"XDG_DATA_HOME", (folder / "data").string()},
                {"XDG_CONFIG_HOME", (folder / "config").string()},
                // No session bus: the icon goes to the XEmbed tray.
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder / "none").string()},
                {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (folder / "none").string()},
                {"LUMIVEX_LOG", "debug"},
                {"ASAN_OPTIONS", companionSanitizerOptions()}},
            folder / "companion.log");
    }
    void TearDown() override {
        companion.reset();
        tray.reset();
        server.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    std::string tree() {
        return testing_support::runCommand({"xwininfo", "-root", "-tree"}, 5s,
                                           {{"DISPLAY", server->displayName()}})
            .output;
    }
    std::string log() {
        std::ifstream file(folder / "companion.log");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    std::optional<std::smatch> waitForLine(const std::regex& pattern, std::chrono::milliseconds timeout) {
        std::optional<std::smatch> found;
        testing_support::waitUntil(
            [&] {
                text = log();
                std::smatch match;
                if (std::regex_search(text, match, pattern)) {
                    found = match;
                    return true;
                }
                return false;
            },
            timeout);
        return found;
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

    std::filesystem::path folder;
    std::string text;
    std::unique_ptr<testing_support::XvfbServer> server;
    std::unique_ptr<testing_support::Subprocess> tray;
    std::unique_ptr<testing_support::Subprocess> companion;
};

TEST_F(CompanionTray, TheIconOpensTheMenuAndThePanelShowsTheCode) {
    const auto ready =
        waitForLine(std::regex(R"(Listener ready as "[^"]*" on TCP (\d+) and UDP (\d+))"), 30s);
    ASSERT_TRUE(ready) << log();
    const testing_support::PhoneTestClient::Endpoint endpoint{
        "127.0.0.1", static_cast<std::uint16_t>(std::stoi((*ready)[1])),
        static_cast<std::uint16_t>(std::stoi((*ready)[2]))};

    // The icon is embedded in the tray; a click opens the menu.
    std::optional<std::pair<std::string, Geometry>> icon;
    ASSERT_TRUE(testing_support::waitUntil(
        [&] { return (icon = window(R"re("Lumivex": \("lumivex-companion" "Lumivex"\))re")).has_value(); },
        10s))
        << tree();
    EXPECT_LT(icon->second.y, 24) << "inside the tray at the top";
    testing_support::runCommand(
        {"xdotool", "mousemove", std::to_string(icon->second.x + icon->second.width / 2),
         std::to_string(icon->second.y + icon->second.height / 2), "click", "1"},
        5s, {{"DISPLAY", server->displayName()}});
    EXPECT_TRUE(waitForLine(
        std::regex("Menu shown: \"Available on your local network \\| Not connected \\| Paired "
                   "iPhones \\| Accessibility: Allowed \\| --- \\| Open at Login \\| Notify When "
                   "iPhone Connects \\| Shake Pointer to Highlight \\| Unlock from iPhone \\| --- "
                   "\\| Protocol v1 \\| Quit Lumivex\""),
        10s))
        << log();
    testing_support::runCommand({"xdotool", "key", "Escape"}, 5s, {{"DISPLAY", server->displayName()}});

    // A phone asks to pair: the panel floats at the top right with the code the log names.
    testing_support::PhoneTestClient phone(endpoint, "Tray Phone");
    phone.connect();
    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone.requestPairing()));
    const auto code = waitForLine(std::regex(R"(Pairing code for "Tray Phone": (\d{3}) (\d{3}))"), 10s);
    ASSERT_TRUE(code) << log();
    // The match points into the log text, which the next wait reads again.
    const std::string digits = (*code)[1].str() + (*code)[2].str();
    std::optional<std::pair<std::string, Geometry>> panel;
    ASSERT_TRUE(
        testing_support::waitUntil([&] { return (panel = window(R"("Pairing Code")")).has_value(); }, 10s))
        << tree();
    EXPECT_NEAR(panel->second.x + panel->second.width, 1280 - 12, 16) << "at the right edge";
    EXPECT_LT(panel->second.y, 80) << "at the top";
    std::string spoken;
    for (char c : digits) {
        spoken += std::string(spoken.empty() ? "" : " ") + c;
    }
    EXPECT_TRUE(waitForLine(
        std::regex("Announcement: \"Tray Phone wants to pair. Pairing code " + spoken + ".\""), 10s))
        << log();

    const std::filesystem::path artifacts = LUMIVEX_TEST_ARTIFACTS;
    std::filesystem::create_directories(artifacts);
    const auto shot = artifacts / "pairing-panel.png";
    std::this_thread::sleep_for(300ms);  // the first paint
    testing_support::runCommand({"import", "-window", panel->first, shot.string()}, 10s,
                                {{"DISPLAY", server->displayName()}});
    ASSERT_TRUE(std::filesystem::exists(shot));
    EXPECT_GT(std::filesystem::file_size(shot), 1000u);

    ASSERT_TRUE(std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(phone.enterCode(digits)));
    EXPECT_TRUE(waitForLine(std::regex(R"(Announcement: "Paired with Tray Phone.")"), 10s));
    ::kill(companion->pid(), SIGTERM);
    ASSERT_TRUE(testing_support::waitUntil([&] { return !companion->running(); }, 30s));
    EXPECT_EQ(companion->stop(), 0) << log();
}

}  // namespace
