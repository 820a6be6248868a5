#pragma once
// The VolumeProvider of the sound server's default output: reads and sets the default sink's volume
// (the loudest channel, keeping the balance when set) and its mute state through libpulse, and follows
// the server: a change of the sink's volume or mute, or of which sink is the default, calls the change
// callback. When the server goes away the provider reads as unavailable, reconnects with a back-off
// and calls the callback again once connected.
//
// Thread: reading and the set operations run on the caller's thread and wait for the server at most
// `operationTimeout` each; libpulse runs on a thread of its own, whose callbacks only record and hop to
// the provider's queue, which calls `onChange`. start and stop are callable from any thread.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "media/volume/VolumeController.h"

namespace media {

class PulseAudioVolumeProvider final : public VolumeProvider {
  public:
    struct Options {
        // The server to reach, in libpulse's notation ("unix:/path/native"); empty for libpulse's own
        // choice ($PULSE_SERVER, then the user's runtime folder). A server is never spawned.
        std::string server;
        std::chrono::milliseconds operationTimeout{1000};
        // Waits between reconnection attempts after the server went away: the first, doubling up to
        // the last.
        std::chrono::milliseconds firstRetryDelay{250};
        std::chrono::milliseconds maximumRetryDelay{5000};
    };

    PulseAudioVolumeProvider();
    explicit PulseAudioVolumeProvider(Options options);
    ~PulseAudioVolumeProvider() override;
    PulseAudioVolumeProvider(const PulseAudioVolumeProvider&) = delete;
    PulseAudioVolumeProvider& operator=(const PulseAudioVolumeProvider&) = delete;

    // A volume above the normal level reads as 1, so that putting the read volume back never lowers it.
    VolumeReading reading() override;
    // Clamped to 0...1 (NaN gives 0); every channel is scaled alike.
    void setVolume(double scalar) override;
    void setMuted(bool muted) override;
    void start(std::function<void()> onChange) override;
    void stop() override;

    // Connected to the server now.
    bool isConnected() const;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace media
