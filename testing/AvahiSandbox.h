#pragma once
// A private Avahi for tests: a system bus of its own on a unix socket in a temporary folder, and
// avahi-daemon in a network namespace of its own that holds only loopback (and a private /run), so no
// multicast ever reaches a real interface. Clients stay in the test's namespace: the bus is a path
// socket, reachable from any network namespace. Everything is stopped by PID.
// libdbus reads DBUS_SYSTEM_BUS_ADDRESS once per process: a test process can use one sandbox's bus only.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "testing/Subprocess.h"

namespace testing_support {

// One resolved service as `avahi-browse -rpt` prints it (a "=" line), names unescaped.
struct BrowsedService {
    std::string interfaceName;
    std::string protocol;  // "IPv4" or "IPv6"
    std::string name;
    std::string type;
    std::string domain;
    std::string host;
    std::string address;
    std::uint16_t port = 0;
    std::vector<std::string> txt;  // "key=value" each, in the order printed
};

// The "=" lines of `avahi-browse -p` output.
std::vector<BrowsedService> parseBrowseOutput(std::string_view output);

class AvahiSandbox {
public:
    // Why the sandbox cannot run here (not root, namespaces refused, a program missing), or none.
    static std::optional<std::string> unavailableReason();

    // Starts the private system bus. Throws std::runtime_error (with the bus's output) when it fails.
    AvahiSandbox();
    // Stops the daemon, then the bus, and removes the folder.
    ~AvahiSandbox();
    AvahiSandbox(const AvahiSandbox&) = delete;
    AvahiSandbox& operator=(const AvahiSandbox&) = delete;

    // For DBUS_SYSTEM_BUS_ADDRESS.
    const std::string& systemBusAddress() const { return busAddress_; }

    // Stops the bus (its clients lose their connection) and starts it again at the same address.
    void stopBus();
    void startBus();
    bool busRunning() const;

    // Starts avahi-daemon in a new network namespace and returns once it has completed its startup.
    // Throws std::runtime_error (with the daemon's log) when it does not.
    void startAvahi(std::chrono::milliseconds timeout = std::chrono::seconds{10});
    void stopAvahi();
    bool avahiRunning() const;
    std::string avahiLog() const;

    // `avahi-browse -rpt <type>`, run inside the daemon's network namespace.
    std::vector<BrowsedService> browse(std::string_view type) const;

private:
    std::filesystem::path folder_;
    std::string busAddress_;
    std::unique_ptr<Subprocess> bus_;
    std::unique_ptr<Subprocess> avahi_;
    int avahiStarts_ = 0;
    int busStarts_ = 0;
};

}  // namespace testing_support
