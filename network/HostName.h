#pragma once
// The computer's name as people know it, for the service name and the pairing challenge.
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace CompanionNetwork {

struct HostName {
    // The pretty host name (PRETTY_HOSTNAME of /etc/machine-info), else the kernel's host name, trimmed
    // of white space and newlines at both ends.
    static std::string current();
    static std::string current(const std::filesystem::path& machineInfo);

    // The unquoted PRETTY_HOSTNAME of a machine-info text; none when absent.
    static std::optional<std::string> prettyHostName(std::string_view machineInfo);
    // Without leading and trailing Unicode white space (newlines included).
    static std::string trimmed(std::string_view text);
};

}  // namespace CompanionNetwork
