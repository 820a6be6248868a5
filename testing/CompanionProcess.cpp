#include "testing/CompanionProcess.h"

#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <variant>

namespace testing_support {

namespace {

int nextRun() {
    static int runs = 0;
    return ++runs;
}

}  // namespace

TemporaryFolder::TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string companionSanitizerOptions() {
    const char* inherited = std::getenv("ASAN_OPTIONS");
    return std::string(inherited ? inherited : "") + ":strict_string_checks=0";
}

CompanionProcess::CompanionProcess(const std::string& executable, const std::filesystem::path& folder,
                                   const std::string& display, std::vector<std::string> extra,
                                   EnvironmentChanges environment)
    : log_(folder / ("companion-" + std::to_string(nextRun()) + ".log")) {
    std::vector<std::string> argv{executable, "--log-to-stderr"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    EnvironmentChanges changes{{"DISPLAY", display},
                               {"XDG_DATA_HOME", (folder / "data").string()},
                               {"XDG_CONFIG_HOME", (folder / "config").string()},
                               {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (folder / "none").string()},
                               {"LUMIVEX_LOG", "info"},
                               {"ASAN_OPTIONS", companionSanitizerOptions()}};
    for (auto& [name, value] : environment) changes[name] = value;
    process_ = std::make_unique<Subprocess>(argv, changes, log_);
}

CompanionProcess::~CompanionProcess() = default;

std::string CompanionProcess::log() const {
    std::ifstream file(log_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::optional<std::smatch> CompanionProcess::waitForLine(const std::regex& pattern,
                                                         std::chrono::milliseconds timeout) {
    std::optional<std::smatch> found;
    waitUntil(
        [&] {
            text_ = log();
            std::smatch match;
            if (std::regex_search(text_, match, pattern)) {
                found = match;
                return true;
            }
            return !process_->running();
        },
        timeout);
    return found;
}

PhoneTestClient::Endpoint CompanionProcess::waitUntilReady(std::chrono::milliseconds timeout) {
    const auto ready = waitForLine(std::regex(R"(Listener ready as "[^"]*" on TCP (\d+) and UDP (\d+))"), timeout);
    if (!ready) throw std::runtime_error("the companion did not become ready; its log:\n" + log());
    return {"127.0.0.1", static_cast<std::uint16_t>(std::stoi((*ready)[1].str())),
            static_cast<std::uint16_t>(std::stoi((*ready)[2].str()))};
}

std::unique_ptr<PhoneTestClient> CompanionProcess::pair(const PhoneTestClient::Endpoint& endpoint,
                                                        const std::string& name, std::chrono::milliseconds timeout) {
    auto phone = std::make_unique<PhoneTestClient>(endpoint, name);
    phone->connect();
    if (!std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone->requestPairing())) {
        throw std::runtime_error("pairing was refused");
    }
    const auto code = waitForLine(std::regex("Pairing code for \"" + name + "\": (\\d{3}) (\\d{3})"), timeout);
    if (!code) throw std::runtime_error("no pairing code was logged; the log:\n" + log());
    if (!std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(
            phone->enterCode((*code)[1].str() + (*code)[2].str())) ||
        !std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(phone->openSession())) {
        throw std::runtime_error("pairing or the session failed");
    }
    phone->connectDatagrams();
    return phone;
}

int CompanionProcess::stop(int signal) {
    ::kill(process_->pid(), signal);
    waitUntil([&] { return !process_->running(); }, std::chrono::seconds(30));
    return process_->stop();
}

bool CompanionProcess::running() { return process_->running(); }
pid_t CompanionProcess::pid() const { return process_->pid(); }

}  // namespace testing_support
