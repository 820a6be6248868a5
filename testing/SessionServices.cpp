#include "testing/SessionServices.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/DBus.h"

namespace testing_support {
namespace {

std::vector<std::string> linesOf(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace

std::optional<std::string> SessionServices::unavailableReason() {
    if (!std::filesystem::exists("/usr/bin/python3")) {
        return "python3 is not installed (scripts/install-deps.sh brings it)";
    }
    const CommandResult probe =
        runCommand({"/usr/bin/python3", "-c", "import dbus, dbus.service, gi.repository.GLib"},
                   std::chrono::seconds(10));
    if (probe.exitCode != 0) {
        return "python3-dbus or python3-gi is not installed (scripts/install-deps.sh brings them)";
    }
    return std::nullopt;
}

std::filesystem::path SessionServices::script() {
    return LUMIVEX_SESSION_SERVICES_SCRIPT;
}

SessionServices::SessionServices(const std::string& busAddress, const std::vector<std::string>& services,
                                 const std::filesystem::path& folder, const std::filesystem::path& scriptCopy)
    : busAddress_(busAddress), output_(folder / "session-services.out") {
    std::vector<std::string> argv = {
        "/usr/bin/python3", scriptCopy.empty() ? script().string() : scriptCopy.string(), busAddress};
    argv.insert(argv.end(), services.begin(), services.end());
    process_ = std::make_unique<Subprocess>(argv, EnvironmentChanges{}, output_);
    const bool ready = waitUntil(
        [&] {
            const std::vector<std::string> lines = linesOf(output_);
            return !lines.empty() && lines.front() == "ready";
        },
        std::chrono::seconds(10));
    if (!ready) {
        std::ifstream in(output_);
        std::stringstream text;
        text << in.rdbuf();
        throw std::runtime_error("the session service stand-ins did not start: " + text.str());
    }
}

SessionServices::~SessionServices() = default;

void SessionServices::set(const std::string& name, bool value) {
    auto bus = platform::dbus::Connection::openAddress(busAddress_);
    if (!bus) {
        throw std::runtime_error("the private bus cannot be reached: " + bus.error().message);
    }
    auto reply =
        (*bus)->call({"test.SessionServices", "/control", "test.SessionServices", "Set", {name, value}});
    if (!reply) {
        throw std::runtime_error("the stand-ins refused Set: " + reply.error().message);
    }
}

std::vector<std::string> SessionServices::calls() const {
    std::vector<std::string> lines = linesOf(output_);
    if (!lines.empty() && lines.front() == "ready") {
        lines.erase(lines.begin());
    }
    return lines;
}

bool SessionServices::waitForCall(const std::string& line, std::chrono::milliseconds timeout) const {
    return waitUntil(
        [&] {
            for (const std::string& call : calls()) {
                if (call == line) {
                    return true;
                }
            }
            return false;
        },
        timeout);
}

}  // namespace testing_support
