// scripts/run.sh as a new user runs it without a display: it starts a private X server for the companion.
// A Ctrl-C at the terminal (SIGINT to the whole foreground process group) and a SIGTERM to the script both
// stop the companion cleanly on a display that outlives it, the script ends with the companion's own
// status, and its X server goes with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "testing/CompanionProcess.h"
#include "testing/Subprocess.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeScript(const fs::path& path, const std::string& text) {
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all);
}

TEST(RunScript, EndsAsTheCompanionDoesAndItsDisplayOutlivesIt) {
    const testing_support::TemporaryFolder folder;
    // The script in a tree of its own whose build is already done: installing and building do nothing.
    const fs::path root = folder.path / "tree";
    fs::create_directories(root / "scripts");
    fs::create_directories(root / "build" / "app");
    fs::create_directories(folder.path / "bin");
    fs::copy_file(fs::path(LUMIVEX_SOURCE_DIR) / "scripts" / "run.sh", root / "scripts" / "run.sh");
    writeScript(root / "scripts" / "install-deps.sh", "#!/bin/sh\nexit 0\n");
    writeScript(folder.path / "bin" / "cmake", "#!/bin/sh\nexit 0\n");
    fs::create_symlink(LUMIVEX_COMPANION_PATH, root / "build" / "app" / "lumivex-companion");

    const char* path = std::getenv("PATH");
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal == SIGINT ? "Ctrl-C" : "SIGTERM");
        const fs::path log = folder.path / (std::to_string(signal) + ".log");
        testing_support::Subprocess run(
            {"bash", (root / "scripts" / "run.sh").string(), "--headless", "--log-to-stderr"},
            {{"DISPLAY", std::nullopt},
             {"PATH", (folder.path / "bin").string() + ":" + (path ? path : "/usr/bin:/bin")},
             {"XDG_DATA_HOME", (folder.path / "data").string()},
             {"XDG_CONFIG_HOME", (folder.path / "config").string()},
             {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (folder.path / "none").string()},
             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (folder.path / "none").string()},
             {"ASAN_OPTIONS", testing_support::companionSanitizerOptions()}},
            log);
        ASSERT_TRUE(testing_support::waitUntil(
            [&] { return readAll(log).find("[companion] Status: Available") != std::string::npos; }, 60s))
            << readAll(log);
        std::smatch server;
        const std::string started = readAll(log);
        ASSERT_TRUE(std::regex_search(started, server, std::regex(R"(started Xvfb \(pid (\d+)\))")))
            << started;
        const pid_t xvfb = std::stoi(server[1]);

        // The script leads its process group, as a terminal's foreground job does.
        ASSERT_EQ(::kill(signal == SIGINT ? -run.pid() : run.pid(), signal), 0);
        ASSERT_TRUE(testing_support::waitUntil([&] { return !run.running(); }, 60s)) << readAll(log);
        const int status = run.stop();
        const std::string text = readAll(log);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status << "\n"
                                                                   << text;
        EXPECT_NE(text.find("[companion] Status: Stopped"), std::string::npos) << text;
        EXPECT_EQ(text.find("X connection"), std::string::npos) << text;
        errno = 0;
        EXPECT_TRUE(::kill(xvfb, 0) != 0 && errno == ESRCH) << "Xvfb " << xvfb << " outlived the script";
    }
}

}  // namespace
