#include "testing/PrivateBus.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace testing_support {
namespace {

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<std::string> PrivateBus::unavailableReason() {
    if (!findExecutable("dbus-daemon"))
        return "dbus-daemon is not installed (scripts/install-deps.sh installs it)";
    return std::nullopt;
}

PrivateBus::PrivateBus() {
    if (auto reason = unavailableReason())
        throw std::runtime_error(*reason);
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-bus-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    folder_ = pattern;
    address_ = "unix:path=" + (folder_ / "bus").string();
    const auto log = folder_ / "bus.log";
    daemon_ = std::make_unique<Subprocess>(
        std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address_,
                                 "--print-address=1"},
        EnvironmentChanges{}, log);
    // The daemon prints its address once it listens.
    const bool listening = waitUntil(
        [&] { return readText(log).find("unix:path=") != std::string::npos || !daemon_->running(); },
        std::chrono::seconds{10});
    if (!listening || !daemon_->running()) {
        const std::string output = readText(log);
        daemon_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        throw std::runtime_error("the private bus did not start: " + output);
    }
}

PrivateBus::~PrivateBus() {
    daemon_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

}  // namespace testing_support
