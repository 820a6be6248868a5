#pragma once
// A private sound server for tests: PulseAudio with two null sinks ("test_sink", the default, and
// "second_sink"), in a runtime folder of its own, reached through its own socket and stopped by PID.
// It can be killed and started again at the same address.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/Subprocess.h"

namespace testing_support {

class PulseAudioSandbox {
  public:
    // Why the sandbox cannot run here (a program missing), or none.
    static std::optional<std::string> unavailableReason();

    // Starts the server and waits until it answers. Throws std::runtime_error (with its log) when not.
    PulseAudioSandbox();
    ~PulseAudioSandbox();
    PulseAudioSandbox(const PulseAudioSandbox&) = delete;
    PulseAudioSandbox& operator=(const PulseAudioSandbox&) = delete;

    // For libpulse's server setting or $PULSE_SERVER: "unix:<folder>/pulse/native".
    const std::string& serverAddress() const { return address_; }

    // SIGKILL, as a crash would.
    void kill();
    void start();
    bool running() const;
    // The server's process id; -1 while it is stopped.
    pid_t pid() const { return server_ ? server_->pid() : -1; }

    // `pactl <arguments>` against this server; throws std::runtime_error when it fails.
    std::string pactl(const std::vector<std::string>& arguments) const;
    // The sink's volume in percent of the loudest channel, as pactl prints it, and its mute state.
    int volumePercent(const std::string& sink) const;
    bool muted(const std::string& sink) const;

  private:
    std::filesystem::path folder_;
    std::string address_;
    std::unique_ptr<Subprocess> server_;
};

}  // namespace testing_support
