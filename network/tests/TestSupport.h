#pragma once
// Helpers shared by the network unit tests.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include "network/TrustedDevice.h"

namespace CompanionNetwork {
inline void PrintTo(const TrustedDeviceStoreError& error, std::ostream* out) {
    *out << error.what();
}
}  // namespace CompanionNetwork

namespace CompanionNetwork::tests {

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-network-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

inline void writeText(const std::filesystem::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// 2024-05-01 09:30:00 UTC plus `seconds`.
inline Date referenceDate(double seconds = 0) {
    using namespace std::chrono;
    return sys_days(year{2024} / May / 1) + hours(9) + minutes(30) +
           duration_cast<system_clock::duration>(duration<double>(seconds));
}

inline TokenDigest digestFilledWith(std::uint8_t byte) {
    TokenDigest digest;
    digest.fill(byte);
    return digest;
}

}  // namespace CompanionNetwork::tests
