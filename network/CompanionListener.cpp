#include "network/CompanionListener.h"

#include "network/AvahiServiceAdvertiser.h"
#include "network/HostName.h"
#include "network/ListenerCore.h"
#include "network/NetlinkPathMonitor.h"
#include "network/WakeAddresses.h"

namespace CompanionNetwork {

CompanionListener::Configuration::Configuration()
    : serviceName(HostName::current()), wakeAddresses(WakeAddresses::current()) {}

CompanionListener::CompanionListener(std::shared_ptr<PairingCoordinator> coordinator,
                                     Configuration configuration, platform::EventLoop& queue,
                                     MessageHandler onMessage, MessageHandler onCleanup,
                                     StateHandler onStateChange, AppRequestHandler onAppRequest,
                                     ScreenViewRequestHandler onScreenViewRequest,
                                     ScreenViewEndedHandler onScreenViewEnded,
                                     UnlockRequestHandler onUnlockRequest,
                                     VolumeRequestHandler onVolumeRequest, Services services)
    : queue_(queue) {
    if (!services.makeAdvertiser) {
        services.makeAdvertiser = [&queue]() -> std::unique_ptr<ServiceAdvertiser> {
            return std::make_unique<AvahiServiceAdvertiser>(queue);
        };
    }
    if (!services.makePathMonitor) {
        services.makePathMonitor = [&queue]() -> std::unique_ptr<PathMonitor> {
            return std::make_unique<NetlinkPathMonitor>(queue);
        };
    }
    core_ = std::make_shared<ListenerCore>(
        std::move(coordinator), std::move(configuration), queue,
        ListenerCore::Callbacks{std::move(onMessage), std::move(onCleanup), std::move(onStateChange),
                                std::move(onAppRequest), std::move(onScreenViewRequest),
                                std::move(onScreenViewEnded), std::move(onUnlockRequest),
                                std::move(onVolumeRequest)},
        std::move(services));
}

CompanionListener::~CompanionListener() {
    // The core is torn down on the queue; posted work that still finds it runs first.
    if (queue_.isCurrent()) {
        core_.reset();
    } else {
        queue_.post([core = std::move(core_)]() mutable { core.reset(); });
    }
}

void CompanionListener::onQueue(std::function<void(ListenerCore&)> work) {
    queue_.post([weak = std::weak_ptr<ListenerCore>(core_), work = std::move(work)] {
        if (auto core = weak.lock()) {
            work(*core);
        }
    });
}

void CompanionListener::start() {
    onQueue([](ListenerCore& core) { core.start(); });
}

void CompanionListener::stop() {
    onQueue([](ListenerCore& core) { core.stop(); });
}

void CompanionListener::cancelPairing() {
    onQueue([](ListenerCore& core) { core.cancelPairing(); });
}

void CompanionListener::forgetDevice(const UUID& deviceID, ForgetCompletion completion) {
    onQueue([deviceID, completion = std::move(completion)](ListenerCore& core) {
        core.forgetDevice(deviceID, completion);
    });
}

void CompanionListener::updateControlStatus(TrackpadProtocol::ControlStatus status) {
    onQueue([status](ListenerCore& core) { core.notify(core.coordinator().updateControlStatus(status)); });
}

void CompanionListener::updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus status) {
    onQueue([status](ListenerCore& core) { core.notify(core.coordinator().updateScreenLockStatus(status)); });
}

void CompanionListener::updateVolumeStatus(TrackpadProtocol::VolumeStatus status) {
    onQueue([status](ListenerCore& core) { core.notify(core.coordinator().updateVolumeStatus(status)); });
}

void CompanionListener::updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying> nowPlaying) {
    onQueue([nowPlaying = std::move(nowPlaying)](ListenerCore& core) {
        core.notify(core.coordinator().updateNowPlaying(nowPlaying));
    });
}

void CompanionListener::updateRunningApps(std::vector<TrackpadProtocol::MacApp> apps) {
    onQueue([apps = std::move(apps)](ListenerCore& core) {
        core.notify(core.coordinator().updateRunningApps(apps));
    });
}

}  // namespace CompanionNetwork
