#include "testing/UserProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "testing/Subprocess.h"

namespace testing_support {
namespace {

constexpr const char* userName = "lumivex-test";

std::optional<TestUser> lookUp() {
    const passwd* found = getpwnam(userName);
    if (found == nullptr) {
        return std::nullopt;
    }
    return TestUser{found->pw_name, found->pw_uid, found->pw_gid};
}

// Writes all of `text`; false when the reader is gone.
bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += std::size_t(written);
    }
    return true;
}

}  // namespace

std::optional<TestUser> testUser(std::string& why) {
    if (geteuid() != 0) {
        why = "not root, so no other user can be taken on";
        return std::nullopt;
    }
    if (std::optional<TestUser> user = lookUp()) {
        return user;
    }
    if (!findExecutable("useradd")) {
        why = "useradd is not installed (scripts/install-deps.sh brings it)";
        return std::nullopt;
    }
    const CommandResult made =
        runCommand({"useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin", userName},
                   std::chrono::seconds(20));
    // Another test may have made it meanwhile.
    if (std::optional<TestUser> user = lookUp()) {
        return user;
    }
    why = "the test user can't be made: " + made.errors;
    return std::nullopt;
}

std::string runAsUser(const TestUser& user, const std::function<std::string()>& body,
                      std::chrono::milliseconds timeout) {
    int pipeFDs[2];
    if (pipe2(pipeFDs, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const pid_t child = fork();
    if (child < 0) {
        close(pipeFDs[0]);
        close(pipeFDs[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (child == 0) {
        close(pipeFDs[0]);
        // The result's first byte says whether the body returned it ('+') or failed ('-').
        std::string result = "-";
        if (setgroups(0, nullptr) != 0 || setresgid(user.gid, user.gid, user.gid) != 0 ||
            setresuid(user.uid, user.uid, user.uid) != 0) {
            result += std::string("can't become ") + user.name + ": " + std::strerror(errno);
        } else {
            // Giving up root left the process unreadable to its new user, as no program of it is.
            prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
            try {
                result = "+" + body();
            } catch (const std::exception& error) {
                result = std::string("-") + error.what();
            } catch (...) {
                result = "-an unknown exception";
            }
        }
        const bool sent = writeAll(pipeFDs[1], result);
        _exit(sent ? 0 : 1);
    }
    close(pipeFDs[1]);
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ended = false;
    while (!ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd readable{pipeFDs[0], POLLIN, 0};
        const int ready = poll(&readable, 1, int(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t got = read(pipeFDs[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ended = true;
        } else {
            output.append(buffer, std::size_t(got));
        }
    }
    close(pipeFDs[0]);
    if (!ended) {
        kill(child, SIGKILL);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended) {
        throw std::runtime_error("the child running as " + user.name + " did not end in time");
    }
    if (output.empty() || output.front() != '+') {
        throw std::runtime_error("the child running as " + user.name + " failed: " +
                                 (output.empty() ? std::string("it said nothing") : output.substr(1)));
    }
    return output.substr(1);
}

}  // namespace testing_support
