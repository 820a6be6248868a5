#pragma once
// Child processes for tests that start real services: started without a shell, stopped by PID, waited
// for with bounded polling.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// Environment variables to set (or, with an empty optional, to remove) on top of this process's own.
using EnvironmentChanges = std::map<std::string, std::optional<std::string>>;

// The executable's path, searched in PATH and then in the sbin folders (daemons live there, and a
// non-root PATH often lacks them); none when it is not installed.
std::optional<std::filesystem::path> findExecutable(const std::string& name);

class Subprocess {
public:
    // Starts argv[0] (looked up with findExecutable) with its output, stdout and stderr both, appended to
    // `outputFile` (or /dev/null when empty). Throws std::runtime_error when it cannot be started.
    Subprocess(const std::vector<std::string>& argv, const EnvironmentChanges& environment = {},
               const std::filesystem::path& outputFile = {});
    // Stops the child if it still runs.
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const { return pid_; }
    // True until the child has exited (reaps it when it has).
    bool running();
    // SIGTERM, then SIGKILL when it has not exited within `grace`; returns the wait status.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds{3});

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct CommandResult {
    int exitCode = -1;  // -1 when the command was killed (by a signal, or for running out of time)
    std::string output;  // stdout
    std::string errors;  // stderr
};

// Runs a command to its end, killed after `timeout`. Throws std::runtime_error when it cannot start.
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const EnvironmentChanges& environment = {});

// Calls `condition` every few milliseconds until it holds or `timeout` has passed; returns whether it
// held.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Sets environment variables for its lifetime and puts the previous values back afterwards.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const EnvironmentChanges& changes);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    EnvironmentChanges previous_;
};

}  // namespace testing_support
