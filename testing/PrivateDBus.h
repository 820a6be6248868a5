#pragma once
// A private D-Bus daemon for tests: a bus of its own on a socket in a fresh temporary folder, where any
// client may own any name, stopped by PID when the object goes. Never the real session or system bus.
#include <filesystem>
#include <memory>
#include <string>

#include "testing/Subprocess.h"

namespace testing_support {

class PrivateDBus {
  public:
    // Starts the daemon and waits until it accepts clients. Throws std::runtime_error when it cannot.
    PrivateDBus();
    ~PrivateDBus();
    PrivateDBus(const PrivateDBus&) = delete;
    PrivateDBus& operator=(const PrivateDBus&) = delete;

    // "unix:path=..."
    const std::string& address() const { return address_; }
    const std::filesystem::path& folder() const { return folder_; }

    static bool isInstalled();

  private:
    std::filesystem::path folder_;
    std::string address_;
    std::unique_ptr<Subprocess> daemon_;
};

}  // namespace testing_support
