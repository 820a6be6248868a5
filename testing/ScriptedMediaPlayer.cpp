#include "testing/ScriptedMediaPlayer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <vector>

extern char** environ;

namespace testing_support {

bool ScriptedMediaPlayer::isAvailable() {
    return std::filesystem::exists("/usr/bin/python3");
}

ScriptedMediaPlayer::ScriptedMediaPlayer(const std::string& busAddress, const std::string& name) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<std::string> environment{"DBUS_SESSION_BUS_ADDRESS=" + busAddress,
                                         "PYTHONDONTWRITEBYTECODE=1"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::string_view(*entry).starts_with("DBUS_SESSION_BUS_ADDRESS=")) {
            continue;
        }
        environment.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string python = "/usr/bin/python3";
    std::string script = LUMIVEX_MPRIS_PLAYER_SCRIPT;
    std::string argument = name;
    char* argv[] = {python.data(), script.data(), argument.data(), nullptr};
    const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    commands_ = input[1];
    answers_ = output[0];
    if (failed != 0) {
        pid_ = -1;
        ::close(commands_);
        ::close(answers_);
        throw std::runtime_error("cannot start the scripted player");
    }
    if (readLine() != "ready") {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(commands_);
        ::close(answers_);
        throw std::runtime_error("the scripted player did not start");
    }
}

ScriptedMediaPlayer::~ScriptedMediaPlayer() {
    ::close(commands_);
    ::close(answers_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void ScriptedMediaPlayer::send(const std::string& json) {
    const std::string line = json + "\n";
    if (::write(commands_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        throw std::runtime_error("the scripted player is gone");
    }
    if (readLine() != "ok") {
        throw std::runtime_error("the scripted player refused " + json);
    }
}

void ScriptedMediaPlayer::quit() {
    const std::string line = "{\"quit\":true}\n";
    (void)!::write(commands_, line.data(), line.size());
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string ScriptedMediaPlayer::readLine() {
    std::string line;
    char c = 0;
    while (::read(answers_, &c, 1) == 1) {
        if (c == '\n') {
            return line;
        }
        line += c;
    }
    return line;
}

}  // namespace testing_support
