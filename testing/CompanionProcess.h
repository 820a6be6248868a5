#pragma once
// The companion process for end-to-end tests: started on a given X display with private data and
// settings folders, its log read back for the lines a test waits for (readiness, pairing codes), and a
// phone paired through the code it logs.
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "testing/PhoneTestClient.h"
#include "testing/Subprocess.h"

namespace testing_support {

// A temporary folder removed with everything in it.
struct TemporaryFolder {
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    std::filesystem::path path;
};

class CompanionProcess {
public:
    // Runs `executable --log-to-stderr extra...` with DISPLAY, XDG_DATA_HOME and XDG_CONFIG_HOME set to
    // `display` and folders under `folder`, no reachable system bus, and whatever `environment` adds.
    CompanionProcess(const std::string& executable, const std::filesystem::path& folder, const std::string& display,
                     std::vector<std::string> extra = {}, EnvironmentChanges environment = {});
    ~CompanionProcess();

    std::string log() const;
    std::optional<std::smatch> waitForLine(const std::regex& pattern, std::chrono::milliseconds timeout);
    // The listener's ports once it logs that it is ready; throws with the log when it does not.
    PhoneTestClient::Endpoint waitUntilReady(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Pairs a new phone with the logged code, opens its session and its datagram flow; throws on failure.
    std::unique_ptr<PhoneTestClient> pair(const PhoneTestClient::Endpoint& endpoint, const std::string& name,
                                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Sends the signal and waits for the exit status.
    int stop(int signal);
    bool running();
    pid_t pid() const;

private:
    std::filesystem::path log_;
    std::string text_;
    std::unique_ptr<Subprocess> process_;
};

// ASAN_OPTIONS for a companion child: Qt's xcb keyboard setup hands strndup() an unterminated buffer,
// which strict string checks report although strndup never reads past its bound.
std::string companionSanitizerOptions();

}  // namespace testing_support
