#include "app/core/SystemRuntimeNetwork.h"

#include <chrono>

#include "network/FileTrustedDeviceStore.h"
#include "network/HostName.h"

namespace Shell {

namespace {

class SystemCoordinator final : public CoordinatorHandle {
  public:
    explicit SystemCoordinator(std::shared_ptr<CompanionNetwork::PairingCoordinator> coordinator)
        : coordinator(std::move(coordinator)) {}

    std::vector<TrustedDevice> trustedDevices() const override { return coordinator->trustedDevices(); }
    void setEventHandler(CompanionNetwork::PairingCoordinator::EventHandler handler) override {
        coordinator->setEventHandler(std::move(handler));
    }
    // A new coordinator has no sessions to notify; the notifications are dropped.
    void updateControlStatus(TrackpadProtocol::ControlStatus status) override {
        coordinator->updateControlStatus(status);
    }
    void updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying> nowPlaying) override {
        coordinator->updateNowPlaying(std::move(nowPlaying));
    }
    void updateRunningApps(std::vector<TrackpadProtocol::MacApp> apps) override {
        coordinator->updateRunningApps(std::move(apps));
    }
    void updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus status) override {
        coordinator->updateScreenLockStatus(status);
    }

    std::shared_ptr<CompanionNetwork::PairingCoordinator> coordinator;
};

class SystemListener final : public ListenerHandle {
  public:
    template <class... Args>
    explicit SystemListener(Args&&... args) : listener(std::forward<Args>(args)...) {}

    void start() override { listener.start(); }
    void stop() override { listener.stop(); }
    void cancelPairing() override { listener.cancelPairing(); }
    void forgetDevice(const TrackpadProtocol::UUID& device,
                      CompanionNetwork::CompanionListener::ForgetCompletion completion) override {
        listener.forgetDevice(device, std::move(completion));
    }
    void updateControlStatus(TrackpadProtocol::ControlStatus status) override {
        listener.updateControlStatus(status);
    }
    void updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus status) override {
        listener.updateScreenLockStatus(status);
    }
    void updateVolumeStatus(TrackpadProtocol::VolumeStatus status) override {
        listener.updateVolumeStatus(status);
    }
    void updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying> nowPlaying) override {
        listener.updateNowPlaying(std::move(nowPlaying));
    }
    void updateRunningApps(std::vector<TrackpadProtocol::MacApp> apps) override {
        listener.updateRunningApps(std::move(apps));
    }

    CompanionNetwork::CompanionListener listener;
};

}  // namespace

SystemRuntimeNetwork::SystemRuntimeNetwork(platform::EventLoop& loop, Options options)
    : loop_(loop), options_(std::move(options)) {}

std::filesystem::path SystemRuntimeNetwork::defaultStorePath() {
    if (options_.dataHome) {
        return CompanionNetwork::FileTrustedDeviceStore::defaultURL(*options_.dataHome);
    }
    return CompanionNetwork::FileTrustedDeviceStore::defaultURL();
}

std::shared_ptr<CoordinatorHandle> SystemRuntimeNetwork::makeCoordinator(
    const std::filesystem::path& store,
    const CompanionNetwork::PairingCoordinator::Configuration& configuration) {
    auto coordinator = std::make_shared<CompanionNetwork::PairingCoordinator>(
        std::make_shared<CompanionNetwork::FileTrustedDeviceStore>(store),
        CompanionNetwork::HostName::current(), configuration,
        [] { return std::chrono::system_clock::now(); });
    return std::make_shared<SystemCoordinator>(std::move(coordinator));
}

std::shared_ptr<ListenerHandle> SystemRuntimeNetwork::makeListener(
    std::shared_ptr<CoordinatorHandle> coordinator, ListenerCallbacks callbacks) {
    CompanionNetwork::CompanionListener::Configuration configuration;
    configuration.loopbackOnly = options_.loopbackOnly;
    auto& system = static_cast<SystemCoordinator&>(*coordinator);
    return std::make_shared<SystemListener>(
        system.coordinator, std::move(configuration), loop_, std::move(callbacks.onMessage),
        std::move(callbacks.onCleanup), std::move(callbacks.onStateChange), std::move(callbacks.onAppRequest),
        std::move(callbacks.onScreenViewRequest), std::move(callbacks.onScreenViewEnded),
        std::move(callbacks.onUnlockRequest), std::move(callbacks.onVolumeRequest));
}

std::optional<std::filesystem::path> SystemRuntimeNetwork::quarantine(const std::filesystem::path& store,
                                                                      Date date) {
    return CompanionNetwork::FileTrustedDeviceStore(store).quarantine(date);
}

}  // namespace Shell
