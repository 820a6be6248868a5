#pragma once
// A PAM service of the test's for a real screen locker: PAM's test wrapper ships a password-file module,
// and a locker whose service names it unlocks with the password the test gives, so whether it unlocked
// tells what it read. The service file replaces the locker's own for it alone, bind-mounted in a mount
// namespace of its own (as root), or PAM's wrapper is loaded into the locker to find it.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "testing/Subprocess.h"

namespace Injector::testing_pam {

// The folder of the C library this test runs with (the system's libraries of its architecture); empty
// when it cannot be told.
inline std::filesystem::path cLibraryFolder() {
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        if (const std::size_t at = line.find('/'); at != std::string::npos && line.ends_with("/libc.so.6")) {
            return std::filesystem::path(line.substr(at)).parent_path();
        }
    }
    return {};
}

// The folder that holds PAM's test wrapper and, under pam_wrapper/, its password-file module
// pam_matrix.so; none when they are not installed.
inline std::optional<std::filesystem::path> pamWrapperFolder() {
    for (const std::filesystem::path& folder :
         {cLibraryFolder(), std::filesystem::path("/usr/lib64"), std::filesystem::path("/usr/lib")}) {
        if (std::filesystem::exists(folder / "libpam_wrapper.so") &&
            std::filesystem::exists(folder / "pam_wrapper" / "pam_matrix.so")) {
            return folder;
        }
    }
    return std::nullopt;
}

// The PAM service `service` in `folder`, naming the password-file module with a password file beside it
// that gives `user` the password for that service.
inline void writePasswordFileService(const std::filesystem::path& folder, const std::filesystem::path& module,
                                     const std::string& service, const std::string& user,
                                     const std::string& password) {
    std::ofstream(folder / "passdb") << user << ':' << password << ':' << service << "\n";
    std::ofstream file(folder / service);
    for (const char* kind : {"auth", "account", "password", "session"}) {
        file << kind << " required " << module.string() << " passdb=" << (folder / "passdb").string() << "\n";
    }
}

// Whether a locker can be given a PAM service file of the test's in place of its own (/etc/pam.d/
// `service`), for it alone: as root, in a mount namespace of its own. None when it can; otherwise why
// not.
inline std::optional<std::string> privateServiceFileUnavailable(const std::string& service) {
    if (geteuid() != 0) {
        return "not root, so the locker's PAM service file can't be replaced for it alone";
    }
    if (!testing_support::findExecutable("unshare") || !testing_support::findExecutable("mount")) {
        return "unshare or mount is not installed (scripts/install-deps.sh brings them)";
    }
    const std::string file = "/etc/pam.d/" + service;
    const auto tried = testing_support::runCommand(
        {"unshare", "--mount", "--propagation", "private", "mount", "--bind", file, file},
        std::chrono::seconds(10));
    if (tried.exitCode != 0) {
        return "a mount namespace of its own can't be made here: " + tried.errors;
    }
    return std::nullopt;
}

}  // namespace Injector::testing_pam
