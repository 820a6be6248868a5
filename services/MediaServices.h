#pragma once
// What plays now, and the output volume.
#include <cstddef>
#include <functional>
#include <optional>

#include "protocol/messages/Message.h"
#include "protocol/messages/Types.h"

namespace Shell {

class NowPlayingService {
  public:
    // Called on any thread with what plays now, or none when nothing does.
    using ChangeHandler = std::function<void(std::optional<TrackpadProtocol::NowPlaying>)>;

    // What the runtime builds a feed with: the artwork limits and the change handler.
    struct Options {
        int maxPixelSize = 360;
        std::size_t maxByteCount = 61440;
        ChangeHandler onChange;
    };

    virtual ~NowPlayingService() = default;

    // Main queue. After stop no reading is reported any more.
    virtual void start() = 0;
    virtual void stop() = 0;
};

class VolumeService {
  public:
    using ChangeHandler = std::function<void(TrackpadProtocol::VolumeStatus)>;
    using Reply = std::function<void(TrackpadProtocol::VolumeStatus)>;

    virtual ~VolumeService() = default;

    // Any thread. Replaces the handler, which receives each new status on any thread.
    virtual void setChangeHandler(ChangeHandler handler) = 0;
    // Any thread; start is ignored while running.
    virtual void start() = 0;
    virtual void stop() = 0;
    // Main queue. False (and nothing else) for anything but setVolume, setMute and volumeStatusRequest;
    // otherwise true, and `reply` is called once, on any thread, with the resulting status.
    virtual bool handle(const TrackpadProtocol::Message& message, Reply reply) = 0;
};

}  // namespace Shell
