#include "testing/AvahiSandbox.h"

#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

// Only loopback, IPv4 only, nothing published beyond what the test registers.
constexpr std::string_view avahiConfiguration =
    "[server]\n"
    "use-ipv4=yes\n"
    "use-ipv6=no\n"
    "allow-interfaces=lo\n"
    "[wide-area]\n"
    "enable-wide-area=no\n"
    "[publish]\n"
    "publish-hinfo=no\n"
    "publish-workstation=no\n"
    "[rlimits]\n";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// avahi-browse writes "\DDD" (decimal) for bytes outside printable ASCII and "\c" for a few others.
std::string unescape(std::string_view text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            result += text[i];
            continue;
        }
        if (i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isdigit(static_cast<unsigned char>(text[i + 3]))) {
            result += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 3))));
            i += 3;
        } else {
            result += text[++i];
        }
    }
    return result;
}

// `"a=b" "c=d"`: each quoted string, with backslash escapes inside.
std::vector<std::string> parseTXT(std::string_view text) {
    std::vector<std::string> result;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '"') {
            ++i;
            continue;
        }
        std::string raw;
        for (++i; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && i + 1 < text.size())
                raw += text[i++];
            raw += text[i];
        }
        ++i;
        result.push_back(unescape(raw));
    }
    return result;
}

void require(const std::string& program) {
    if (!findExecutable(program))
        throw std::runtime_error(program + " is not installed");
}

}  // namespace

std::vector<BrowsedService> parseBrowseOutput(std::string_view output) {
    std::vector<BrowsedService> services;
    std::istringstream lines{std::string(output)};
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("=;", 0) != 0)
            continue;
        // Nine separated fields, then the TXT records, which may hold ';' themselves.
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (int field = 0; field < 9; ++field) {
            const auto end = line.find(';', start);
            if (end == std::string::npos)
                break;
            fields.push_back(line.substr(start, end - start));
            start = end + 1;
        }
        if (fields.size() != 9)
            continue;
        BrowsedService service;
        service.interfaceName = fields[1];
        service.protocol = fields[2];
        service.name = unescape(fields[3]);
        service.type = fields[4];
        service.domain = fields[5];
        service.host = unescape(fields[6]);
        service.address = fields[7];
        service.port = static_cast<std::uint16_t>(std::stoul(fields[8]));
        service.txt = parseTXT(std::string_view(line).substr(start));
        services.push_back(std::move(service));
    }
    return services;
}

std::optional<std::string> AvahiSandbox::unavailableReason() {
    if (::geteuid() != 0)
        return "a network namespace of its own for avahi-daemon needs root";
    for (const char* program : {"dbus-daemon", "avahi-daemon", "avahi-browse", "unshare", "nsenter", "ip", "mount"})
        if (!findExecutable(program))
            return std::string(program) + " is not installed (scripts/install-deps.sh installs it)";
    const auto probe = runCommand({"unshare", "--net", "--mount", "--propagation", "private", "true"},
                                  std::chrono::seconds{10});
    if (probe.exitCode != 0)
        return "network namespaces cannot be created here: " + probe.errors;
    return std::nullopt;
}

AvahiSandbox::AvahiSandbox() {
    require("dbus-daemon");
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-avahi-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    std::ofstream(folder_ / "avahi.conf") << avahiConfiguration;
    busAddress_ = "unix:path=" + (folder_ / "system_bus_socket").string();
    try {
        startBus();
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        throw;
    }
}

void AvahiSandbox::startBus() {
    if (bus_)
        throw std::logic_error("the system bus runs already");
    const auto log = folder_ / ("bus-" + std::to_string(++busStarts_) + ".log");
    bus_ = std::make_unique<Subprocess>(
        std::vector<std::string>{"dbus-daemon", "--system", "--nofork", "--nopidfile", "--address=" + busAddress_,
                                 "--print-address=1"},
        EnvironmentChanges{}, log);
    // The bus prints its address once it listens.
    const bool listening = waitUntil(
        [&] { return readFile(log).find("unix:path=") != std::string::npos || !bus_->running(); },
        std::chrono::seconds{10});
    if (!listening || !bus_->running()) {
        bus_.reset();
        throw std::runtime_error("the private system bus did not start: " + readFile(log));
    }
}

void AvahiSandbox::stopBus() {
    bus_.reset();
}

bool AvahiSandbox::busRunning() const {
    return bus_ && bus_->running();
}

AvahiSandbox::~AvahiSandbox() {
    stopAvahi();
    bus_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void AvahiSandbox::startAvahi(std::chrono::milliseconds timeout) {
    if (avahi_)
        throw std::logic_error("avahi-daemon runs already");
    for (const char* program : {"unshare", "avahi-daemon", "ip", "mount"})
        require(program);
    const auto log = folder_ / ("avahi-" + std::to_string(++avahiStarts_) + ".log");
    // unshare and sh both exec, so the PID is the daemon's. The tmpfs keeps its pid file and socket in
    // /run out of the real /run, where a system Avahi may live.
    const std::string script = "'" + findExecutable("ip")->string() + "' link set lo up && '" +
                               findExecutable("mount")->string() + "' -t tmpfs tmpfs /run && exec '" +
                               findExecutable("avahi-daemon")->string() + "' --no-drop-root --no-chroot -f '" +
                               (folder_ / "avahi.conf").string() + "'";
    avahi_ = std::make_unique<Subprocess>(
        std::vector<std::string>{"unshare", "--net", "--mount", "--propagation", "private", "/bin/sh", "-c", script},
        EnvironmentChanges{{"DBUS_SYSTEM_BUS_ADDRESS", busAddress_}}, log);
    const bool started = waitUntil(
        [&] { return readFile(log).find("Server startup complete") != std::string::npos || !avahi_->running(); },
        timeout);
    if (!started || !avahi_->running()) {
        avahi_.reset();
        throw std::runtime_error("avahi-daemon did not start: " + readFile(log));
    }
}

void AvahiSandbox::stopAvahi() {
    avahi_.reset();
}

bool AvahiSandbox::avahiRunning() const {
    return avahi_ && avahi_->running();
}

std::string AvahiSandbox::avahiLog() const {
    return avahiStarts_ == 0 ? std::string{} : readFile(folder_ / ("avahi-" + std::to_string(avahiStarts_) + ".log"));
}

std::vector<BrowsedService> AvahiSandbox::browse(std::string_view type) const {
    if (!avahi_)
        throw std::logic_error("avahi-daemon is not running");
    const auto result = runCommand({"nsenter", "--net=/proc/" + std::to_string(avahi_->pid()) + "/ns/net",
                                    "avahi-browse", "-rpt", std::string(type)},
                                   std::chrono::seconds{10}, {{"DBUS_SYSTEM_BUS_ADDRESS", busAddress_}});
    if (result.exitCode != 0)
        throw std::runtime_error("avahi-browse failed: " + result.errors);
    return parseBrowseOutput(result.output);
}

}  // namespace testing_support
