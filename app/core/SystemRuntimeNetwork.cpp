#include "app/core/SystemRuntimeNetwork.h"

#include <chrono>

#include "network/FileTrustedDeviceStore.h"
#include "network/HostName.h"
#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "companion");

std::string describe(const CompanionNetwork::ListenerState& state) {
    using State = CompanionNetwork::ListenerState;
    if (auto ready = state.as<State::Ready>()) {
        std::string text = "ready as \"" + ready->details.serviceName + "\" on TCP " +
                           std::to_string(ready->details.tcpPort) + " and UDP " +
                           std::to_string(ready->details.udpPort);
        if (ready->details.advertisementProblem) {
            text += ", not advertised: " + *ready->details.advertisementProblem;
        }
        return text;
    }
    if (auto waiting = state.as<State::Waiting>()) {
        return "waiting: " + waiting->reason;
    }
    if (auto failed = state.as<State::Failed>()) {
        return "failed: " + failed->reason;
    }
    if (state.is<State::Setup>()) {
        return "starting";
    }
    return "stopped";
}

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
    // Where the companion listens goes to the log, for the user without a tray and for scripts.
    callbacks.onStateChange =
        [forward = std::move(callbacks.onStateChange)](const CompanionNetwork::ListenerState& state) {
            logger.notice("Listener " + describe(state));
            if (forward) {
                forward(state);
            }
        };
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
