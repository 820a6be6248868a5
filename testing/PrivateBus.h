#pragma once
// A private message bus for tests: dbus-daemon with the session configuration on a unix socket in a
// temporary folder, stopped by its PID. Clients connect by address(); the real session and system buses
// are never touched.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "testing/Subprocess.h"

namespace testing_support {

class PrivateBus {
public:
    // Why no private bus can run here (dbus-daemon missing), or none.
    static std::optional<std::string> unavailableReason();

    // Starts the bus and waits until it listens; throws std::runtime_error with its output otherwise.
    PrivateBus();
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // "unix:path=/tmp/lumivex-bus-XXXXXX/bus"
    const std::string& address() const { return address_; }
    // A folder that lives as long as the bus, for the test's own helper files.
    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path folder_;
    std::string address_;
    std::unique_ptr<Subprocess> daemon_;
};

}  // namespace testing_support
