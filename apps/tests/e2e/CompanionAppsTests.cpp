// The app catalog through the real companion process: on a private Xvfb with openbox and a data folder
// holding one test application, a paired phone test client asks for the running and installed lists
// and an icon, and opens the application, which then shows up running (answered and pushed).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "apps/IconImages.h"
#include "apps/tests/WindowManager.h"
#include "testing/CompanionProcess.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::PhoneTestClient;
using TrackpadProtocol::AppListKind;
using TrackpadProtocol::MacApp;
using TrackpadProtocol::Message;
using TrackpadProtocol::OpenAppResult;

void write(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Every part of one list answer, in order.
std::optional<std::vector<MacApp>> receiveList(PhoneTestClient& phone, AppListKind kind) {
    std::vector<MacApp> apps;
    while (true) {
        auto message = phone.receiveUntil(
            [kind](const Message& m) {
                return kind == AppListKind::running ? m.is<Message::RunningApps>()
                                                    : m.is<Message::InstalledApps>();
            },
            30);
        if (!message) {
            return std::nullopt;
        }
        const TrackpadProtocol::AppListPart& part = kind == AppListKind::running
                                                        ? message->as<Message::RunningApps>()->part
                                                        : message->as<Message::InstalledApps>()->part;
        apps.insert(apps.end(), part.apps.begin(), part.apps.end());
        if (part.part + 1 >= part.partCount) {
            return apps;
        }
    }
}

bool lists(const std::vector<MacApp>& apps, const std::string& id) {
    return std::any_of(apps.begin(), apps.end(), [&](const MacApp& app) { return app.bundleID == id; });
}

TEST(CompanionApps, APhoneGetsTheListsAnIconAndOpensAnApplicationThroughTheProcess) {
    for (const char* program : {"openbox", "xlogo"}) {
        if (!testing_support::XvfbServer::isInstalled() || !testing_support::findExecutable(program)) {
            GTEST_SKIP() << "Xvfb or " << program
                         << " is not installed (scripts/install-deps.sh brings them)";
        }
    }
    testing_support::TemporaryFolder folder;
    testing_support::XvfbServer server;
    Apps::testing::WindowManager openbox(server.displayName());
    ASSERT_TRUE(openbox.ready()) << "openbox did not start managing windows";

    Apps::IconBitmap square;
    square.width = square.height = 300;
    square.pixels.assign(300 * 300 * 4, 200);
    const std::vector<std::uint8_t> png = *Apps::encodePNG(square);
    write(folder.path / "icons/logo.png", std::string(png.begin(), png.end()));
    write(folder.path / "data/applications/test.logo.desktop",
          "[Desktop Entry]\nType=Application\nName=Test Logo\nExec=xlogo\nStartupWMClass=XLogo\nIcon=" +
              (folder.path / "icons/logo.png").string() + "\n");

    // Only the test's own entries: no system folders.
    testing_support::CompanionProcess companion(
        LUMIVEX_COMPANION_PATH, folder.path, server.displayName(), {"--headless"},
        {{"XDG_DATA_DIRS", (folder.path / "system").string()},
         {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder.path / "no-session-bus").string()}});
    const auto endpoint = companion.waitUntilReady();
    std::unique_ptr<PhoneTestClient> client = companion.pair(endpoint, "Test iPhone", 30s);
    PhoneTestClient& phone = *client;
    phone.send(Message{Message::Subscribe{TrackpadProtocol::Subscriptions::apps}});

    phone.send(Message{Message::AppsRequest{AppListKind::installed}});
    auto installed = receiveList(phone, AppListKind::installed);
    ASSERT_TRUE(installed);
    EXPECT_EQ(*installed, (std::vector<MacApp>{{"test.logo", "Test Logo", {}}}));

    phone.send(Message{Message::AppsRequest{AppListKind::running}});
    auto running = receiveList(phone, AppListKind::running);
    ASSERT_TRUE(running);
    EXPECT_FALSE(lists(*running, "test.logo"));

    phone.send(Message{Message::AppIconRequest{{"TEST.LOGO", 512}}});
    auto icon = phone.receiveCase<Message::AppIcon>(30);
    ASSERT_TRUE(icon);
    EXPECT_EQ(icon->icon.bundleID, "TEST.LOGO");
    ASSERT_TRUE(icon->icon.image);
    EXPECT_LE(icon->icon.image->size(), 61440u);
    auto decoded = Apps::decodeIcon(*icon->icon.image, 1);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 256);

    phone.send(Message{Message::OpenApp{"test.logo"}});
    auto opened = phone.receiveCase<Message::OpenAppResult>(30);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->result, (OpenAppResult{"test.logo", OpenAppResult::Status::opened}));
    // The change is pushed to the subscribed phone, and later answers list it too.
    auto pushed = receiveList(phone, AppListKind::running);
    ASSERT_TRUE(pushed);
    EXPECT_TRUE(lists(*pushed, "test.logo"));
    phone.send(Message{Message::AppsRequest{AppListKind::running}});
    running = receiveList(phone, AppListKind::running);
    ASSERT_TRUE(running);
    EXPECT_TRUE(lists(*running, "test.logo"));

    phone.send(Message{Message::OpenApp{"../../bin/sh"}});
    opened = phone.receiveCase<Message::OpenAppResult>(30);
    ASSERT_TRUE(opened);
    EXPECT_EQ(opened->result.status, OpenAppResult::Status::notInstalled);

    const int status = companion.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << companion.log();
}

}  // namespace
