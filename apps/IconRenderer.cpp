#include "apps/IconRenderer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>

#include "apps/IconImages.h"

extern char** environ;

namespace Apps {

// The helpers running now. A helper's pid is taken out under the lock before it is reaped, so a kill
// under the lock never reaches a pid that has been reused.
struct IconRenderer::Helpers {
    std::mutex mutex;
    std::set<pid_t> running;
    bool stopped = false;
};

namespace {

struct Descriptor {
    int fd = -1;
    explicit Descriptor(int value = -1) : fd(value) {}
    ~Descriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

// The icon's bytes as a sealed in-memory file: the helper reads them as its standard input, and no
// pipe has to be fed while its output is read.
int sealedInput(std::span<const std::uint8_t> bytes) {
    Descriptor file(::memfd_create("lumivex-icon", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (file.fd < 0) {
        return -1;
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(file.fd, bytes.data() + written, bytes.size() - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return -1;
        }
        written += static_cast<std::size_t>(count);
    }
    ::fcntl(file.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    if (::lseek(file.fd, 0, SEEK_SET) != 0) {
        return -1;
    }
    const int fd = file.fd;
    file.fd = -1;
    return fd;
}

std::optional<pid_t> spawn(const std::vector<std::string>& command, int input, int output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> argv;
    for (const std::string& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
        return std::nullopt;
    }
    return pid;
}

using Clock = std::chrono::steady_clock;

int remainingMilliseconds(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

// Reads the helper's answer until its end, at most `limit` bytes; false on time-out or excess.
bool readAnswer(int fd, std::size_t limit, Clock::time_point deadline, std::vector<std::uint8_t>& answer) {
    std::uint8_t chunk[65536];
    for (;;) {
        pollfd watched{fd, POLLIN, 0};
        const int ready = ::poll(&watched, 1, remainingMilliseconds(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (answer.size() + static_cast<std::size_t>(count) > limit) {
            return false;
        }
        answer.insert(answer.end(), chunk, chunk + count);
    }
}

// Waits for the helper's end until the deadline, then kills it; always reaps it, once it is no longer
// among the running ones. True for exit status 0.
bool finish(pid_t pid, bool answered, Clock::time_point deadline, std::mutex& mutex,
            std::set<pid_t>& running) {
    if (answered) {
        Descriptor process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        if (process.fd >= 0) {
            pollfd watched{process.fd, POLLIN, 0};
            while (::poll(&watched, 1, remainingMilliseconds(deadline)) < 0 && errno == EINTR) {
            }
        }
    }
    int status = 0;
    pid_t reaped = 0;
    {
        std::lock_guard lock(mutex);
        running.erase(pid);
        reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == 0) {
            ::kill(pid, SIGKILL);
            answered = false;
        }
    }
    while (reaped == 0 || (reaped < 0 && errno == EINTR)) {
        reaped = ::waitpid(pid, &status, 0);
    }
    return answered && reaped == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::uint32_t readWord(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

IconRenderer IconRenderer::besideProgram() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return IconRenderer(error ? std::filesystem::path(executableName) : self.parent_path() / executableName);
}

IconRenderer::IconRenderer(std::filesystem::path executable, std::chrono::milliseconds timeout)
    : command_{executable.string()}, timeout_(timeout), helpers_(std::make_shared<Helpers>()) {}

IconRenderer::IconRenderer(std::vector<std::string> command, std::chrono::milliseconds timeout)
    : command_(std::move(command)), timeout_(timeout), helpers_(std::make_shared<Helpers>()) {}

void IconRenderer::stop() const {
    std::lock_guard lock(helpers_->mutex);
    helpers_->stopped = true;
    for (const pid_t pid : helpers_->running) {
        ::kill(pid, SIGKILL);
    }
}

void IconRenderer::resume() const {
    std::lock_guard lock(helpers_->mutex);
    helpers_->stopped = false;
}

std::optional<IconBitmap> IconRenderer::render(std::span<const std::uint8_t> bytes, int side) const {
    if (command_.empty() || bytes.empty() || bytes.size() > maxIconFileBytes || side < 1 ||
        side > maxIconSide) {
        return std::nullopt;
    }
    const Clock::time_point deadline = Clock::now() + timeout_;
    Descriptor input(sealedInput(bytes));
    int pipeEnds[2] = {-1, -1};
    if (input.fd < 0 || ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    Descriptor output(pipeEnds[0]);
    std::optional<pid_t> pid;
    {
        Descriptor writeEnd(pipeEnds[1]);
        std::vector<std::string> command = command_;
        command.push_back(std::to_string(side));
        // Spawned under the lock, so that a stop either comes first and nothing starts, or finds the
        // helper among the running ones.
        std::lock_guard lock(helpers_->mutex);
        if (helpers_->stopped) {
            return std::nullopt;
        }
        pid = spawn(command, input.fd, writeEnd.fd);
        if (pid) {
            helpers_->running.insert(*pid);
        }
    }
    if (!pid) {
        return std::nullopt;
    }
    const std::size_t limit = 8 + static_cast<std::size_t>(side) * static_cast<std::size_t>(side) * 4;
    std::vector<std::uint8_t> answer;
    const bool answered = readAnswer(output.fd, limit, deadline, answer);
    const bool drawn = finish(*pid, answered, deadline, helpers_->mutex, helpers_->running);
    if (!drawn || answer.size() < 8) {
        return std::nullopt;
    }
    const std::uint32_t width = readWord(answer.data());
    const std::uint32_t height = readWord(answer.data() + 4);
    if (width < 1 || height < 1 || width > static_cast<std::uint32_t>(side) ||
        height > static_cast<std::uint32_t>(side) ||
        answer.size() != 8 + static_cast<std::size_t>(width) * height * 4) {
        return std::nullopt;
    }
    IconBitmap bitmap;
    bitmap.width = static_cast<int>(width);
    bitmap.height = static_cast<int>(height);
    bitmap.pixels.assign(answer.begin() + 8, answer.end());
    return bitmap;
}

}  // namespace Apps
