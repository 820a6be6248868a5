#pragma once
// Starts a program without a shell, detached: in a session of its own, not a child of this process
// (so it outlives us and never needs reaping). The result says whether the program's exec succeeded,
// learned through a close-on-exec pipe. Its standard input and output are /dev/null.
#include <filesystem>
#include <string>
#include <vector>

namespace Apps {

struct LaunchOutcome {
    bool started = false;
    int error = 0;  // errno of the failed step when not started
};

// argv[0] is looked up in $PATH unless it holds '/'. `workingFolder` may be empty.
LaunchOutcome launchDetached(const std::vector<std::string>& argv,
                             const std::filesystem::path& workingFolder);

}  // namespace Apps
