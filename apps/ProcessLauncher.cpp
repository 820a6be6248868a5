#include "apps/ProcessLauncher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>

extern char** environ;

namespace Apps {

namespace {

std::optional<std::string> resolveProgram(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    const char* pathValue = std::getenv("PATH");
    std::string_view list = pathValue != nullptr ? pathValue : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = list.find(':');
        const std::string_view folder = list.substr(0, colon);
        if (!folder.empty()) {
            std::string candidate = std::string(folder) + "/" + program;
            struct stat info {};
            if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                ::access(candidate.c_str(), X_OK) == 0) {
                return candidate;
            }
        }
        if (colon == std::string_view::npos) {
            return std::nullopt;
        }
        list.remove_prefix(colon + 1);
    }
}

void writeError(int fd, int error) {
    [[maybe_unused]] ssize_t written = ::write(fd, &error, sizeof error);
}

}  // namespace

LaunchOutcome launchDetached(const std::vector<std::string>& argv,
                             const std::filesystem::path& workingFolder) {
    if (argv.empty() || argv.front().empty()) {
        return {false, EINVAL};
    }
    const std::optional<std::string> program = resolveProgram(argv.front());
    if (!program) {
        return {false, ENOENT};
    }
    // Everything the children need is prepared here: between fork and exec only async-signal-safe
    // calls are made.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const std::string folder = workingFolder.string();
    int pipeFDs[2];
    if (::pipe2(pipeFDs, O_CLOEXEC) != 0) {
        return {false, errno};
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(pipeFDs[0]);
        ::close(pipeFDs[1]);
        return {false, error};
    }
    if (child == 0) {
        ::close(pipeFDs[0]);
        if (::setsid() < 0) {
            writeError(pipeFDs[1], errno);
            ::_exit(127);
        }
        const pid_t grandchild = ::fork();
        if (grandchild < 0) {
            writeError(pipeFDs[1], errno);
            ::_exit(127);
        }
        if (grandchild > 0) {
            ::_exit(0);  // the program is adopted by init and reaped there
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int signal = 1; signal < NSIG; ++signal) {
            if (signal != SIGKILL && signal != SIGSTOP) {
                ::signal(signal, SIG_DFL);
            }
        }
        // Nothing of ours is passed on: what the program prints would otherwise land in our log.
        const int devNull = ::open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            ::dup2(devNull, STDIN_FILENO);
            ::dup2(devNull, STDOUT_FILENO);
            ::dup2(devNull, STDERR_FILENO);
            if (devNull > STDERR_FILENO) {
                ::close(devNull);
            }
        }
        if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
            writeError(pipeFDs[1], errno);
            ::_exit(127);
        }
        ::execve(program->c_str(), args.data(), environ);
        writeError(pipeFDs[1], errno);
        ::_exit(127);
    }
    ::close(pipeFDs[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(pipeFDs[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(pipeFDs[0]);
    if (got == static_cast<ssize_t>(sizeof error)) {
        return {false, error};
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return {false, ECHILD};
    }
    return {true, 0};
}

}  // namespace Apps
