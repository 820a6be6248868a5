#include "testing/PulseAudioSandbox.h"

#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace testing_support {
namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<std::string> PulseAudioSandbox::unavailableReason() {
    for (const char* program : {"pulseaudio", "pactl"}) {
        if (!findExecutable(program)) {
            return std::string(program) + " is not installed";
        }
    }
    return std::nullopt;
}

PulseAudioSandbox::PulseAudioSandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivex-pulse-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    folder_ = pattern;
    address_ = "unix:" + (folder_ / "pulse" / "native").string();
    start();
}

PulseAudioSandbox::~PulseAudioSandbox() {
    server_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

void PulseAudioSandbox::start() {
    server_.reset();
    std::error_code ignored;
    std::filesystem::remove(folder_ / "pulse" / "native", ignored);
    std::filesystem::remove(folder_ / "pulse" / "pid", ignored);
    // No shared memory, no D-Bus, no X11 and no session modules: only the socket and the two sinks.
    const std::filesystem::path log = folder_ / "pulseaudio.log";
    server_ = std::make_unique<Subprocess>(
        std::vector<std::string>{
            "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disable-shm=yes",
            "--use-pid-file=no", "--system=no", "-L", "module-native-protocol-unix auth-anonymous=1", "-L",
            "module-null-sink sink_name=test_sink", "-L", "module-null-sink sink_name=second_sink"},
        EnvironmentChanges{{"XDG_RUNTIME_DIR", folder_.string()},
                           {"HOME", folder_.string()},
                           {"DISPLAY", std::nullopt},
                           {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}},
        log);
    const bool ready = waitUntil(
        [&] {
            if (!server_->running()) {
                return true;
            }
            const CommandResult result = runCommand({"pactl", "get-default-sink"}, std::chrono::seconds{2},
                                                    {{"PULSE_SERVER", address_}});
            return result.exitCode == 0 && result.output.find("test_sink") != std::string::npos;
        },
        std::chrono::seconds{15});
    if (!ready || !server_->running()) {
        throw std::runtime_error("PulseAudio did not start:\n" + readFile(log));
    }
}

void PulseAudioSandbox::kill() {
    if (server_) {
        ::kill(server_->pid(), SIGKILL);
        waitUntil([&] { return !server_->running(); }, std::chrono::seconds{5});
        server_.reset();
    }
}

bool PulseAudioSandbox::running() const {
    return server_ != nullptr && server_->running();
}

std::string PulseAudioSandbox::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const CommandResult result = runCommand(argv, std::chrono::seconds{5}, {{"PULSE_SERVER", address_}});
    if (result.exitCode != 0) {
        throw std::runtime_error("pactl failed: " + result.errors);
    }
    return result.output;
}

int PulseAudioSandbox::volumePercent(const std::string& sink) const {
    const std::string output = pactl({"get-sink-volume", sink});
    static const std::regex percent(R"(/\s*(\d+)%)");
    int loudest = -1;
    for (auto it = std::sregex_iterator(output.begin(), output.end(), percent); it != std::sregex_iterator();
         ++it) {
        loudest = std::max(loudest, std::stoi((*it)[1]));
    }
    if (loudest < 0) {
        throw std::runtime_error("no volume in pactl's output: " + output);
    }
    return loudest;
}

bool PulseAudioSandbox::muted(const std::string& sink) const {
    return pactl({"get-sink-mute", sink}).find("yes") != std::string::npos;
}

}  // namespace testing_support
