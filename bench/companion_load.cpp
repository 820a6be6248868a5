// Load driver for the whole companion process on a private Xvfb display: how long it takes from start
// to a ready listener, its resident memory when idle, and its memory and CPU share while two paired
// phones move the pointer at 120 Hz each over DTLS.
//
//   companion_load [seconds]   (10 by default)
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using TrackpadProtocol::Message;
using namespace std::chrono_literals;

std::string readText(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// VmRSS or VmHWM of the process, in KiB.
long memoryKiB(pid_t pid, const std::string& field) {
    std::istringstream status(readText("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

// User plus system CPU seconds of the process.
double cpuSeconds(pid_t pid) {
    const std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15) {
            ticks += std::stol(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::optional<std::smatch> waitForLine(const std::filesystem::path& log, const std::regex& pattern,
                                       std::string& text) {
    std::optional<std::smatch> found;
    testing_support::waitUntil(
        [&] {
            text = readText(log);
            std::smatch match;
            if (std::regex_search(text, match, pattern)) {
                found = match;
                return true;
            }
            return false;
        },
        30s);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    const double runSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!testing_support::XvfbServer::isInstalled()) {
        std::fprintf(stderr, "companion_load: Xvfb is not installed\n");
        return 1;
    }
    testing_support::XvfbServer server;
    std::string pattern = (std::filesystem::temp_directory_path() / "companion-load-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        return 1;
    }
    const std::filesystem::path folder = pattern;
    const auto log = folder / "companion.log";

    const auto started = Clock::now();
    testing_support::Subprocess companion(
        {LUMIVEX_COMPANION_PATH, "--log-to-stderr"},
        {{"DISPLAY", server.displayName()},
         {"XDG_DATA_HOME", (folder / "data").string()},
         {"XDG_CONFIG_HOME", (folder / "config").string()},
         {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (folder / "none").string()},
         {"LUMIVEX_LOG", "notice"}},
        log);
    std::string text;
    const auto ready =
        waitForLine(log, std::regex(R"(Listener ready as "[^"]*" on TCP (\d+) and UDP (\d+))"), text);
    if (!ready) {
        std::fprintf(stderr, "companion_load: the companion did not become ready:\n%s\n",
                     readText(log).c_str());
        return 1;
    }
    const double startup = std::chrono::duration<double>(Clock::now() - started).count();
    const testing_support::PhoneTestClient::Endpoint endpoint{
        "127.0.0.1", static_cast<std::uint16_t>(std::stoi((*ready)[1].str())),
        static_cast<std::uint16_t>(std::stoi((*ready)[2].str()))};

    std::this_thread::sleep_for(2s);
    const double idleCPUStart = cpuSeconds(companion.pid());
    std::this_thread::sleep_for(3s);
    const double idleCPU = (cpuSeconds(companion.pid()) - idleCPUStart) / 3.0;
    const long idleRSS = memoryKiB(companion.pid(), "VmRSS");

    std::vector<std::unique_ptr<testing_support::PhoneTestClient>> phones;
    double pairingToPanel = -1;
    for (const char* name : {"Load Phone A", "Load Phone B"}) {
        auto phone = std::make_unique<testing_support::PhoneTestClient>(endpoint, name);
        phone->connect();
        const auto asked = Clock::now();
        phone->requestPairing();
        if (pairingToPanel < 0) {
            // The pairing panel is mapped on the display (polled with xwininfo, a few milliseconds a look).
            testing_support::waitUntil(
                [&] {
                    return testing_support::runCommand({"xwininfo", "-name", "Pairing Code"}, 2s,
                                                       {{"DISPLAY", server.displayName()}})
                               .output.find("IsViewable") != std::string::npos;
                },
                10s);
            pairingToPanel = std::chrono::duration<double>(Clock::now() - asked).count();
        }
        const auto code = waitForLine(
            log, std::regex(std::string("Pairing code for \"") + name + "\": (\\d{3}) (\\d{3})"), text);
        if (!code ||
            !std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(
                phone->enterCode((*code)[1].str() + (*code)[2].str())) ||
            !std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(phone->openSession())) {
            std::fprintf(stderr, "companion_load: pairing failed\n");
            return 1;
        }
        phone->connectDatagrams();
        phones.push_back(std::move(phone));
    }

    const double loadCPUStart = cpuSeconds(companion.pid());
    const auto loadStart = Clock::now();
    std::atomic<long> sent{0};
    std::vector<std::thread> senders;
    for (auto& phone : phones) {
        senders.emplace_back([&, client = phone.get()] {
            const auto interval = std::chrono::duration<double>(1.0 / 120.0);
            auto next = Clock::now();
            for (long i = 0; Clock::now() - loadStart < std::chrono::duration<double>(runSeconds); ++i) {
                client->sendDatagram(Message::Move{i % 2 ? 3.0f : -3.0f, i % 4 < 2 ? 2.0f : -2.0f});
                ++sent;
                next += std::chrono::duration_cast<Clock::duration>(interval);
                std::this_thread::sleep_until(next);
            }
        });
    }
    long loadRSS = 0;
    while (Clock::now() - loadStart < std::chrono::duration<double>(runSeconds)) {
        std::this_thread::sleep_for(500ms);
        loadRSS = std::max(loadRSS, memoryKiB(companion.pid(), "VmRSS"));
    }
    for (auto& sender : senders) {
        sender.join();
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - loadStart).count();
    const double loadCPU = (cpuSeconds(companion.pid()) - loadCPUStart) / elapsed;

    std::printf("start-up to ready listener: %.3f s\n", startup);
    std::printf("pairing request to the pairing panel on screen: %.3f s\n", pairingToPanel);
    std::printf("idle: resident %ld KiB, CPU %.2f %%\n", idleRSS, idleCPU * 100);
    std::printf(
        "two phones at 120 Hz for %.1f s (%ld moves sent): resident at most %ld KiB, CPU %.2f %% of one "
        "core\n",
        elapsed, sent.load(), loadRSS, loadCPU * 100);
    std::printf("peak resident over the run: %ld KiB\n", memoryKiB(companion.pid(), "VmHWM"));

    phones.clear();
    ::kill(companion.pid(), SIGTERM);
    testing_support::waitUntil([&] { return !companion.running(); }, 10s);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return 0;
}
