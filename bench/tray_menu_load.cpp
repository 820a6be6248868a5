// Driver for the companion's tray menu left open while phones come and go: the companion process on a
// private Xvfb display with a tray host (trayer), two paired phones, the menu opened by a click on the
// icon and its paired-phones submenu and a phone's submenu opened with the keyboard (their items
// highlighted). Then the phones leave and come back in turn, 2,000 changes of the connected phones in
// all; the companion's resident memory is read before and after.
//
//   tray_menu_load [changes] [companion]   (2,000 and the companion built beside it by default)
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "bench/ProcessFigures.h"
#include "testing/CompanionProcess.h"
#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace std::chrono_literals;
using testing_support::runCommand;
using testing_support::waitUntil;

using bench_figures::residentKiB;

int run(int argc, char** argv) {
    const int changes = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string executable = argc > 2 ? argv[2] : LUMIVEX_COMPANION_PATH;
    for (const char* tool : {"trayer", "xwininfo", "xdotool"}) {
        if (!testing_support::findExecutable(tool)) {
            std::fprintf(stderr, "tray_menu_load: %s is not installed (scripts/install-deps.sh brings it)\n",
                         tool);
            return 1;
        }
    }
    if (!testing_support::XvfbServer::isInstalled()) {
        std::fprintf(stderr, "tray_menu_load: Xvfb is not installed\n");
        return 1;
    }
    testing_support::XvfbServer::Options options;
    options.width = 1280;
    options.height = 800;
    testing_support::XvfbServer server(options);
    const testing_support::EnvironmentChanges display{{"DISPLAY", server.displayName()}};
    const auto tree = [&] { return runCommand({"xwininfo", "-root", "-tree"}, 5s, display).output; };
    testing_support::Subprocess tray({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                      "--height", "24", "--SetDockType", "true"},
                                     display);
    if (!waitUntil([&] { return tree().find("\"panel\": (\"panel\" \"trayer\")") != std::string::npos; },
                   30s)) {
        std::fprintf(stderr, "tray_menu_load: the tray did not appear\n");
        return 1;
    }
    testing_support::TemporaryFolder folder;
    testing_support::CompanionProcess companion(
        executable, folder.path, server.displayName(), {},
        {// No session bus: the icon goes to the XEmbed tray.
         {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder.path / "none").string()},
         {"LUMIVEX_LOG", "debug"}});
    const auto endpoint = companion.waitUntilReady(60s);
    std::vector<std::unique_ptr<testing_support::PhoneTestClient>> phones;
    phones.push_back(companion.pair(endpoint, "Anna's iPhone"));
    phones.push_back(companion.pair(endpoint, "Ben's iPhone"));

    std::smatch icon;
    const std::regex iconLine(
        R"re("Lumivex": \("lumivex-companion" "Lumivex"\).*?\s(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))re");
    std::string all;
    if (!waitUntil([&] { return std::regex_search(all = tree(), icon, iconLine) && std::stoi(icon[4]) < 24; },
                   30s)) {
        std::fprintf(stderr, "tray_menu_load: no icon in the tray\n");
        return 1;
    }
    const std::string x = std::to_string(std::stoi(icon[3]) + std::stoi(icon[1]) / 2);
    const std::string y = std::to_string(std::stoi(icon[4]) + std::stoi(icon[2]) / 2);
    // A click that arrives before the icon takes input is lost: click again until the menu shows.
    if (!waitUntil(
            [&] {
                runCommand({"xdotool", "mousemove", x, y, "click", "1"}, 10s, display);
                return companion.waitForLine(std::regex("Menu shown"), 3s).has_value();
            },
            30s)) {
        std::fprintf(stderr, "tray_menu_load: the menu did not open\n%s\n", companion.log().c_str());
        return 1;
    }
    // The first item that can be chosen is "Paired iPhones": open it, then the first phone's submenu.
    std::this_thread::sleep_for(300ms);
    runCommand({"xdotool", "key", "Down", "Right", "Right"}, 10s, display);
    const auto openMenus = [&] {
        const std::string children = runCommand({"xwininfo", "-root", "-children"}, 5s, display).output;
        const std::regex menuLine(R"re((0x[0-9a-f]+) "Lumivex": \("lumivex-companion" "Lumivex"\))re");
        int viewable = 0;
        for (auto at = std::sregex_iterator(children.begin(), children.end(), menuLine);
             at != std::sregex_iterator(); ++at) {
            viewable +=
                runCommand({"xwininfo", "-id", (*at)[1].str()}, 5s, display).output.find("IsViewable") !=
                std::string::npos;
        }
        return viewable;
    };
    if (!waitUntil([&] { return openMenus() == 3; }, 10s)) {
        std::fprintf(stderr, "tray_menu_load: the submenus did not open\n");
        return 1;
    }
    std::this_thread::sleep_for(1s);

    // Each phone in turn leaves and comes back: two changes of the connected phones.
    const long before = residentKiB(companion.pid());
    const auto started = std::chrono::steady_clock::now();
    for (int change = 0; change < changes; ++change) {
        testing_support::PhoneTestClient& phone = *phones[static_cast<std::size_t>(change / 2 % 2)];
        if (change % 2 == 0) {
            phone.disconnect();
            continue;
        }
        // A companion that has not yet seen the phone leave may still count it against its connections.
        const bool back = waitUntil(
            [&] {
                try {
                    phone.connect();
                    if (std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(
                            phone.openSession())) {
                        return true;
                    }
                } catch (const std::runtime_error&) {
                }
                phone.disconnect();
                return false;
            },
            10s);
        if (!back) {
            std::fprintf(stderr, "tray_menu_load: a phone could not come back\n");
            return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::this_thread::sleep_for(1s);
    const long after = residentKiB(companion.pid());
    const bool stillOpen = openMenus() == 3;

    std::printf("%d changes with the menu and two submenus open%s, in %.1f s\n", changes,
                stillOpen ? "" : " (closed by the end)", seconds);
    std::printf("resident before %ld KiB, after %ld KiB, growth %ld KiB (%.0f bytes a change)\n", before,
                after, after - before, 1024.0 * static_cast<double>(after - before) / changes);
    phones.clear();
    companion.stop(SIGTERM);
    return stillOpen ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tray_menu_load: %s\n", error.what());
        return 1;
    }
}
