#pragma once
// The one service behind the phone's volume messages: it answers setVolume, setMute and
// volumeStatusRequest with a VolumeStatus, applies changes through a VolumeProvider, lets a VolumeOSD
// show the desktop's own volume display for a change the phone made, and reports every change of the
// output (the phone's, the keyboard's, another program's) once through one change handler.
//
// Thread: all work runs on the serial queue given at construction; setChangeHandler, start, stop,
// handle and reportedStatus are callable from any thread. Own it through a std::shared_ptr (the
// provider's callback holds it weakly).
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/Executor.h"
#include "protocol/messages/Message.h"
#include "protocol/messages/Types.h"
#include "services/MediaServices.h"

namespace media {

using TrackpadProtocol::VolumeStatus;

struct VolumeReading {
    // The output's main volume as a scalar 0...1; none when no volume can be read or set.
    std::optional<double> volume;
    // None when the mute state cannot be read.
    std::optional<bool> isMuted;

    static const VolumeReading unavailable;
    VolumeStatus status() const;
    // Volumes compared as numbers, none equal to none.
    friend bool operator==(const VolumeReading&, const VolumeReading&) = default;
};
inline constexpr VolumeReading VolumeReading::unavailable{};

class VolumeProvider {
  public:
    virtual ~VolumeProvider() = default;
    // Runs on the caller's thread (the controller's queue).
    virtual VolumeReading reading() = 0;
    virtual void setVolume(double scalar) = 0;
    virtual void setMuted(bool muted) = 0;
    // `onChange` is called, from a thread of the provider's choosing, whenever the output may have
    // changed. start and stop return once their work is done.
    virtual void start(std::function<void()> onChange) = 0;
    virtual void stop() = 0;
};

class VolumeOSD {
  public:
    virtual ~VolumeOSD() = default;
    // Shows the desktop's volume display for a change from `from` towards `to`, watching `provider`
    // while the system reacts. May block its caller for a short while.
    virtual void showChange(const VolumeReading& from, const VolumeReading& to, VolumeProvider& provider) = 0;
};

class VolumeController : public Shell::VolumeService, public std::enable_shared_from_this<VolumeController> {
  public:
    using ChangeHandler = std::function<void(VolumeStatus)>;
    using Completion = std::function<void(VolumeStatus)>;

    // A change shown by the display that moved the volume less than this is not put back.
    static constexpr double restoreTolerance = 0.0005;
    // Percent points one volume key moves the level by.
    static constexpr int volumeKeyStep = 5;

    enum class VolumeKey { up, down, mute };

    // `queue` must outlive the controller and the work it schedules.
    VolumeController(std::unique_ptr<VolumeProvider> provider, std::unique_ptr<VolumeOSD> osd,
                     platform::Executor& queue);
    ~VolumeController() override;
    VolumeController(const VolumeController&) = delete;
    VolumeController& operator=(const VolumeController&) = delete;

    // Replaces the handler (none clears it).
    void setChangeHandler(ChangeHandler handler) override;
    void start() override;
    void stop() override;
    // True for setVolume, setMute and volumeStatusRequest, after scheduling the work; the completion is
    // then called exactly once, on the queue. Every other message gives false and nothing happens.
    bool handle(const TrackpadProtocol::Message& message, Completion completion) override;
    // The last status reported or answered; none before the first.
    std::optional<VolumeStatus> reportedStatus() const;
    // A volume key of the phone, carried out on the output itself rather than pressed: up and down move
    // the level by `volumeKeyStep` on the percent grid (within 0...100, the mute state left alone), mute
    // toggles. The change is reported like any other. False, with nothing scheduled, while the output
    // was last seen without a volume, or not seen yet.
    bool pressKey(VolumeKey key);

  private:
    void startOnQueue();
    void stopOnQueue();
    void report(std::uint64_t generation);
    void answer(const TrackpadProtocol::Message& message, const Completion& completion);
    void apply(const TrackpadProtocol::Message& message);
    void applyKey(VolumeKey key);

    std::unique_ptr<VolumeProvider> provider_;
    std::unique_ptr<VolumeOSD> osd_;
    platform::Executor& queue_;

    mutable std::mutex handlerMutex_;
    ChangeHandler changeHandler_;
    mutable std::mutex reportedMutex_;
    std::optional<VolumeStatus> reported_;

    // Queue only.
    bool isRunning_ = false;
    std::uint64_t generation_ = 0;
};

}  // namespace media
