#include "media/now-playing/NowPlayingHelper.h"

#include "platform/Base64.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <nlohmann/json.hpp>

#include "platform/Log.h"

extern char** environ;

namespace media {
namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "NowPlaying");

// A terminated child that has not ended by then is killed.
constexpr std::chrono::seconds terminationGrace{2};

// The shortest text that reads back as the same double ("1.0" for 1).
std::string decimalText(double value) {
    std::array<char, 64> text{};
    auto [end, error] = std::to_chars(text.data(), text.data() + text.size(), value);
    std::string result(text.data(), error == std::errc{} ? end : text.data());
    if (result.find_first_of(".eEn") == std::string::npos) {
        result += ".0";
    }
    return result;
}

}  // namespace

struct NowPlayingHelper::Child {
    pid_t pid = -1;
    int pidFD = -1;
    int outputFD = -1;
    platform::EventLoop::WatchID outputWatch = 0;
    platform::EventLoop::WatchID endWatch = 0;
    platform::Executor::TimerID killTimer = 0;
};

std::filesystem::path NowPlayingHelper::defaultExecutable() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    return self.parent_path() / executableName;
}

std::shared_ptr<NowPlayingHelper> NowPlayingHelper::make(const std::filesystem::path& executable,
                                                         int artworkPixelSize, double interval,
                                                         double restartDelay) {
    struct stat info {};
    if (executable.empty() || ::stat(executable.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        (info.st_mode & 0111) == 0 || ::access(executable.c_str(), X_OK) != 0) {
        return nullptr;
    }
    const double pollInterval = std::max(interval, minimumInterval);
    const int pixelSize = std::max(artworkPixelSize, 32);
    return std::make_shared<NowPlayingHelper>(
        std::vector<std::string>{executable.string(), decimalText(pollInterval), std::to_string(pixelSize)},
        restartDelay);
}

NowPlayingHelper::NowPlayingHelper(std::vector<std::string> command, double restartDelay)
    : command_(std::move(command)), restartDelay_(std::max(restartDelay, minimumRestartDelay)) {}

NowPlayingHelper::~NowPlayingHelper() {
    ++generation_;
    if (loop_ != nullptr && restartTimer_ != 0) {
        loop_->cancel(restartTimer_);
    }
    endChild();
    // Nothing may outlive the helper: every child still ending is killed and reaped now.
    for (const auto& child : ending_) {
        reap(child, true);
    }
}

std::optional<pid_t> NowPlayingHelper::childProcess() const {
    if (!process_) {
        return std::nullopt;
    }
    return process_->pid;
}

void NowPlayingHelper::report(const NowPlayingReading& reading) {
    if (onReading_) {
        onReading_(reading);
    }
}

void NowPlayingHelper::launch() {
    if (loop_ == nullptr || !onReading_ || process_ || command_.empty()) {
        return;
    }
    const std::uint64_t generation = generation_;
    int output[2] = {-1, -1};
    if (::pipe2(output, O_CLOEXEC) != 0) {
        logger.error("cannot make a pipe for the now-playing helper");
        report(NowPlayingReading::unavailable());
        scheduleRestart(generation);
        return;
    }
    // Standard output is the pipe, standard input and error the null device; nothing else is inherited.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> argv;
    for (auto& argument : command_) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(output[1]);
    if (failed != 0) {
        ::close(output[0]);
        logger.error("cannot start the now-playing helper " + command_.front());
        report(NowPlayingReading::unavailable());
        scheduleRestart(generation);
        return;
    }

    auto child = std::make_shared<Child>();
    child->pid = pid;
    child->outputFD = output[0];
    // A process descriptor tells when this child ends, with no SIGCHLD handler (glibc's own wrapper is
    // not declared for C++ here).
    child->pidFD = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    ::fcntl(child->outputFD, F_SETFL, ::fcntl(child->outputFD, F_GETFL) | O_NONBLOCK);
    process_ = child;
    std::weak_ptr<NowPlayingHelper> weak = weak_from_this();
    child->outputWatch =
        loop_->watch(child->outputFD, platform::EventLoop::readable, [weak, generation](std::uint32_t) {
            if (auto self = weak.lock()) {
                self->readOutput(generation);
            }
        });
    if (child->pidFD >= 0) {
        child->endWatch =
            loop_->watch(child->pidFD, platform::EventLoop::readable, [weak, generation](std::uint32_t) {
                if (auto self = weak.lock()) {
                    self->processEnded(generation);
                }
            });
    }
}

void NowPlayingHelper::readOutput(std::uint64_t generation) {
    if (generation != generation_ || !process_ || process_->outputWatch == 0) {
        return;
    }
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t count = ::read(process_->outputFD, chunk.data(), chunk.size());
        if (count > 0) {
            consume(chunk.data(), static_cast<std::size_t>(count));
            // The child may have said it is unsupported, which ends this run.
            if (generation != generation_ || !process_) {
                return;
            }
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // End of output; the child's end is seen through its process descriptor. Without one, the
            // end of output stands for the end of the child.
            loop_->removeWatch(process_->outputWatch);
            process_->outputWatch = 0;
            if (process_->pidFD < 0) {
                processEnded(generation);
            }
        }
        return;
    }
}

void NowPlayingHelper::consume(const char* data, std::size_t size) {
    std::string_view rest(data, size);
    while (!rest.empty()) {
        const std::size_t newline = rest.find('\n');
        if (newline == std::string_view::npos) {
            if (!discarding_) {
                if (buffer_.size() + rest.size() > maximumLineBytes) {
                    logger.notice("dropped a now-playing helper line longer than the limit");
                    buffer_.clear();
                    discarding_ = true;
                } else {
                    buffer_.append(rest);
                }
            }
            return;
        }
        const std::string_view segment = rest.substr(0, newline);
        rest.remove_prefix(newline + 1);
        if (discarding_) {
            discarding_ = false;
            continue;
        }
        if (buffer_.size() + segment.size() > maximumLineBytes) {
            buffer_.clear();
            continue;
        }
        buffer_.append(segment);
        const std::string line = std::move(buffer_);
        buffer_.clear();
        if (line.empty()) {
            continue;  // keep-alive
        }
        const Line parsed = parse(line);
        if (const auto* reading = std::get_if<NowPlayingReading>(&parsed)) {
            report(*reading);
        } else if (std::holds_alternative<Unsupported>(parsed)) {
            report(NowPlayingReading::unavailable());
            ++generation_;
            endChild();
            buffer_.clear();
            discarding_ = false;
            return;
        }
    }
}

void NowPlayingHelper::processEnded(std::uint64_t generation) {
    if (generation != generation_ || !process_) {
        return;
    }
    // What the child wrote before it ended is still read.
    if (process_->outputWatch != 0) {
        readOutput(generation);
        if (generation != generation_ || !process_) {
            return;
        }
    }
    const std::shared_ptr<Child> child = std::exchange(process_, nullptr);
    reap(child, false);
    buffer_.clear();
    discarding_ = false;
    report(NowPlayingReading::unavailable());
    scheduleRestart(generation);
}

void NowPlayingHelper::scheduleRestart(std::uint64_t generation) {
    if (loop_ == nullptr) {
        return;
    }
    std::weak_ptr<NowPlayingHelper> weak = weak_from_this();
    restartTimer_ = loop_->schedule(
        std::chrono::microseconds(static_cast<std::int64_t>(restartDelay_ * 1e6)),
        [weak, generation] {
            auto self = weak.lock();
            if (!self) {
                return;
            }
            self->restartTimer_ = 0;
            if (self->generation_ == generation && !self->process_) {
                self->launch();
            }
        },
        std::chrono::milliseconds{100});
}

void NowPlayingHelper::stop() {
    ++generation_;
    onReading_ = nullptr;
    buffer_.clear();
    discarding_ = false;
    if (loop_ != nullptr && restartTimer_ != 0) {
        loop_->cancel(restartTimer_);
        restartTimer_ = 0;
    }
    endChild();
}

void NowPlayingHelper::endChild() {
    const std::shared_ptr<Child> child = std::exchange(process_, nullptr);
    if (!child) {
        return;
    }
    if (child->outputWatch != 0) {
        loop_->removeWatch(child->outputWatch);
        child->outputWatch = 0;
    }
    ::close(child->outputFD);
    child->outputFD = -1;
    ::kill(child->pid, SIGTERM);
    if (child->pidFD < 0 || loop_ == nullptr) {
        reap(child, true);
        return;
    }
    // Reaped when it ends; killed if it has not ended after the grace.
    if (child->endWatch != 0) {
        loop_->removeWatch(child->endWatch);
    }
    ending_.push_back(child);
    std::weak_ptr<NowPlayingHelper> weak = weak_from_this();
    const auto finish = [weak, child](bool kill) {
        if (auto self = weak.lock()) {
            std::erase(self->ending_, child);
            self->reap(child, kill);
        }
    };
    child->endWatch =
        loop_->watch(child->pidFD, platform::EventLoop::readable, [finish](std::uint32_t) { finish(false); });
    child->killTimer = loop_->schedule(terminationGrace, [finish] { finish(true); });
}

void NowPlayingHelper::reap(std::shared_ptr<Child> child, bool kill) {
    if (child->pid < 0) {
        return;
    }
    if (loop_ != nullptr) {
        if (child->endWatch != 0) {
            loop_->removeWatch(child->endWatch);
            child->endWatch = 0;
        }
        if (child->outputWatch != 0) {
            loop_->removeWatch(child->outputWatch);
            child->outputWatch = 0;
        }
        if (child->killTimer != 0) {
            loop_->cancel(child->killTimer);
            child->killTimer = 0;
        }
    }
    if (kill) {
        ::kill(child->pid, SIGKILL);
    }
    // Only this child, never a global wait: other parts of the process have children of their own.
    while (::waitpid(child->pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    child->pid = -1;
    for (int* fd : {&child->pidFD, &child->outputFD}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

// ---- Lines ----------------------------------------------------------------------------------------------

std::optional<Data> NowPlayingHelper::decodeBase64(std::string_view text) {
    return platform::base64Decode(text);
}

NowPlayingHelper::Line NowPlayingHelper::parse(std::string_view line) {
    // Values nested deeper than any real line are discarded while parsing, so hostile nesting stays
    // cheap to hold and to free.
    const nlohmann::json::parser_callback_t shallow = [](int depth, nlohmann::json::parse_event_t,
                                                         nlohmann::json&) { return depth <= 4; };
    const nlohmann::json value = nlohmann::json::parse(line.begin(), line.end(), shallow, false);
    if (!value.is_object()) {
        return Ignored{};
    }
    if (const auto unsupported = value.find("unsupported");
        unsupported != value.end() && unsupported->is_boolean() && unsupported->get<bool>()) {
        return Unsupported{};
    }
    NowPlayingInfo info;
    if (const auto title = value.find("title"); title != value.end() && title->is_string()) {
        info.title = title->get<std::string>();
    }
    if (const auto artist = value.find("artist"); artist != value.end() && artist->is_string()) {
        info.artist = artist->get<std::string>();
    }
    if (const auto artwork = value.find("artwork"); artwork != value.end() && artwork->is_string()) {
        info.artworkData = decodeBase64(artwork->get_ref<const std::string&>());
    }
    return NowPlayingReading::fromInfo(info);
}

}  // namespace media
