#include "testing/Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const EnvironmentChanges& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals != std::string::npos)
            variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const auto& [name, value] : changes) {
        if (value)
            variables[name] = *value;
        else
            variables.erase(name);
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : variables)
        result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (auto& text : strings)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// posix_spawn with the given stdout and stderr descriptors (-1: /dev/null) and stdin from /dev/null.
pid_t spawn(const std::vector<std::string>& argv, const EnvironmentChanges& environment, int out, int err) {
    if (argv.empty())
        throw std::runtime_error("spawn: no command");
    const auto path = findExecutable(argv[0]);
    if (!path)
        throw std::runtime_error("spawn: " + argv[0] + " is not installed");
    std::vector<std::string> arguments = argv;
    std::vector<std::string> variables = mergedEnvironment(environment);
    auto argumentPointers = pointers(arguments);
    auto variablePointers = pointers(variables);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (err >= 0)
        posix_spawn_file_actions_adddup2(&actions, err, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // A child of its own process group, so a terminal's Ctrl-C reaches it only through the test.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    pid_t pid = -1;
    const int error =
        posix_spawn(&pid, path->c_str(), &actions, &attributes, argumentPointers.data(), variablePointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        throw std::runtime_error("spawn " + argv[0] + ": " + std::strerror(error));
    return pid;
}

// Waits for `pid` up to `timeout`; the wait status, or none when it still runs.
std::optional<int> waitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        if (result == pid)
            return status;
        if (result < 0 && errno != EINTR)
            return 0;  // not our child any more; nothing to wait for
        if (Clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds{5});
    }
}

}  // namespace

std::optional<std::filesystem::path> findExecutable(const std::string& name) {
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? std::optional<std::filesystem::path>(name) : std::nullopt;
    std::string folders = ::getenv("PATH") ? ::getenv("PATH") : "/usr/bin:/bin";
    folders += ":/usr/local/sbin:/usr/sbin:/sbin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        const auto end = std::min(folders.find(':', start), folders.size());
        const std::filesystem::path candidate = std::filesystem::path(folders.substr(start, end - start)) / name;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

Subprocess::Subprocess(const std::vector<std::string>& argv, const EnvironmentChanges& environment,
                       const std::filesystem::path& outputFile) {
    int out = -1;
    if (!outputFile.empty()) {
        out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (out < 0)
            throw std::runtime_error("cannot open " + outputFile.string() + ": " + std::strerror(errno));
    }
    try {
        pid_ = spawn(argv, environment, out, out);
    } catch (...) {
        if (out >= 0)
            ::close(out);
        throw;
    }
    if (out >= 0)
        ::close(out);
}

Subprocess::~Subprocess() {
    stop();
}

bool Subprocess::running() {
    if (status_)
        return false;
    status_ = waitFor(pid_, std::chrono::milliseconds{0});
    return !status_;
}

int Subprocess::stop(std::chrono::milliseconds grace) {
    if (!running())
        return *status_;
    ::kill(pid_, SIGTERM);
    status_ = waitFor(pid_, grace);
    if (!status_) {
        ::kill(pid_, SIGKILL);
        status_ = waitFor(pid_, std::chrono::seconds{10});
    }
    return status_.value_or(-1);
}

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const EnvironmentChanges& environment) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    pid_t pid = -1;
    try {
        pid = spawn(argv, environment, outPipe[1], errPipe[1]);
    } catch (...) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]})
            ::close(fd);
        throw;
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);

    CommandResult result;
    const auto deadline = Clock::now() + timeout;
    std::array<pollfd, 2> fds{pollfd{outPipe[0], POLLIN, 0}, pollfd{errPipe[0], POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.output, &result.errors};
    bool timedOut = false;
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0 && errno != EINTR)
            break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t count = ::read(fds[i].fd, buffer, sizeof buffer);
            if (count > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (const auto& entry : fds)
        if (entry.fd >= 0)
            ::close(entry.fd);
    if (timedOut)
        ::kill(pid, SIGKILL);
    auto status = waitFor(pid, timedOut ? std::chrono::milliseconds{10000} : timeout);
    if (!status) {
        ::kill(pid, SIGKILL);
        status = waitFor(pid, std::chrono::milliseconds{10000});
    }
    if (status && WIFEXITED(*status) && !timedOut)
        result.exitCode = WEXITSTATUS(*status);
    return result;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds{10});
    }
}

ScopedEnvironment::ScopedEnvironment(const EnvironmentChanges& changes) {
    for (const auto& [name, value] : changes) {
        const char* old = ::getenv(name.c_str());
        previous_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    for (const auto& [name, value] : previous_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
}

}  // namespace testing_support
