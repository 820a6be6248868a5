#pragma once
// What the runtime uses of the network: the pairing coordinator, the listener, and the trusted-device
// file. The system implementation builds the real ones on the main EventLoop; tests give recording fakes.
//
// Thread: the main queue, except the listener's update calls, which may come from any thread.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "network/CompanionListener.h"
#include "network/PairingCoordinator.h"
#include "network/TrustedDevice.h"

namespace Shell {

using CompanionNetwork::Date;
using CompanionNetwork::TrustedDevice;

class CoordinatorHandle {
  public:
    virtual ~CoordinatorHandle() = default;
    virtual std::vector<TrustedDevice> trustedDevices() const = 0;
    virtual void setEventHandler(CompanionNetwork::PairingCoordinator::EventHandler handler) = 0;
    virtual void updateControlStatus(TrackpadProtocol::ControlStatus status) = 0;
    virtual void updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying> nowPlaying) = 0;
    virtual void updateRunningApps(std::vector<TrackpadProtocol::MacApp> apps) = 0;
    virtual void updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus status) = 0;
};

class ListenerHandle {
  public:
    virtual ~ListenerHandle() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void cancelPairing() = 0;
    virtual void forgetDevice(const TrackpadProtocol::UUID& device,
                              CompanionNetwork::CompanionListener::ForgetCompletion completion) = 0;
    // Any thread.
    virtual void updateControlStatus(TrackpadProtocol::ControlStatus status) = 0;
    virtual void updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus status) = 0;
    virtual void updateVolumeStatus(TrackpadProtocol::VolumeStatus status) = 0;
    virtual void updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying> nowPlaying) = 0;
    virtual void updateRunningApps(std::vector<TrackpadProtocol::MacApp> apps) = 0;
};

// The listener's callbacks, as CompanionListener takes them.
struct ListenerCallbacks {
    using L = CompanionNetwork::CompanionListener;
    L::MessageHandler onMessage;
    L::MessageHandler onCleanup;
    L::StateHandler onStateChange;
    L::AppRequestHandler onAppRequest;
    L::ScreenViewRequestHandler onScreenViewRequest;
    L::ScreenViewEndedHandler onScreenViewEnded;
    L::UnlockRequestHandler onUnlockRequest;
    L::VolumeRequestHandler onVolumeRequest;
};

class RuntimeNetwork {
  public:
    virtual ~RuntimeNetwork() = default;
    // The trusted-device list's file, its folder made when missing; throws when it cannot be had.
    virtual std::filesystem::path defaultStorePath() = 0;
    // Loads the list; throws CompanionNetwork::TrustedDeviceStoreError for a list that cannot be used,
    // anything else for other failures.
    virtual std::shared_ptr<CoordinatorHandle> makeCoordinator(
        const std::filesystem::path& store,
        const CompanionNetwork::PairingCoordinator::Configuration& configuration) = 0;
    virtual std::shared_ptr<ListenerHandle> makeListener(std::shared_ptr<CoordinatorHandle> coordinator,
                                                         ListenerCallbacks callbacks) = 0;
    // Moves the list aside without replacing any file; none when there is no file. Throws on failure.
    virtual std::optional<std::filesystem::path> quarantine(const std::filesystem::path& store,
                                                            Date date) = 0;
};

}  // namespace Shell
