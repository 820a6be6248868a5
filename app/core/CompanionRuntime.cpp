#include "app/core/CompanionRuntime.h"

#include <chrono>
#include <exception>
#include <utility>

#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "runtime");

std::chrono::microseconds seconds(std::uint64_t value) {
    return std::chrono::microseconds(static_cast<std::int64_t>(value) * 1000000);
}

}  // namespace

CompanionNetwork::PairingCoordinator::Configuration CompanionRuntime::pairingConfiguration() {
    CompanionNetwork::PairingCoordinator::Configuration configuration;
    configuration.codeLifetime = 120;
    configuration.maxFailedAttempts = 3;
    configuration.lockoutDuration = 30;
    configuration.failureWindow = 600;
    configuration.maxPairingRequests = 10;
    configuration.requestWindow = 60;
    configuration.features = TrackpadProtocol::HostFeatures::all;
    return configuration;
}

std::shared_ptr<CompanionRuntime> CompanionRuntime::create(Dependencies dependencies) {
    std::shared_ptr<CompanionRuntime> runtime(new CompanionRuntime(std::move(dependencies)));
    runtime->wire();
    return runtime;
}

CompanionRuntime::CompanionRuntime(Dependencies dependencies)
    : executor_(dependencies.executor),
      network_(dependencies.network),
      permission_(dependencies.permission),
      preferences_(dependencies.preferences),
      services_(std::move(dependencies.services)),
      appWork_(std::move(dependencies.appWork)),
      now_(std::move(dependencies.now)),
      connectionNotices_(std::move(dependencies.connectionNotices)),
      ownBundleID_(std::move(dependencies.ownBundleID)),
      ownProcessID_(dependencies.ownProcessID) {
    services_.completeWithAbsentServices();
    if (!appWork_) {
        auto queue = std::make_shared<platform::DispatchQueue>("dev.quelmar.trackpad.mac.apps.answers");
        appWork_ = [raw = queue.get()](Task task) { raw->async(std::move(task)); };
        ownAppQueue_ = std::move(queue);
    }
    if (!now_) {
        now_ = [] { return std::chrono::system_clock::now(); };
    }
}

CompanionRuntime::~CompanionRuntime() {
    cancelRetry();
    // Only the answer being computed is waited for: what is still queued is dropped.
    if (ownAppQueue_) {
        ownAppQueue_->discardPending();
    }
    ownAppQueue_.reset();
}

void CompanionRuntime::wire() {
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    // The picture's screen while one shows, else the screen under the pointer.
    std::weak_ptr<PresentationImageService> pictures = services_.presentationImages;
    std::weak_ptr<OverlayDisplays> displays = services_.displays;
    services_.annotations->setPointerScreen([pictures, displays]() -> ScreenFrame {
        if (auto shown = pictures.lock()) {
            if (auto frame = shown->screenFrame()) {
                return *frame;
            }
        }
        auto screens = displays.lock();
        return screens ? screens->pointerScreenFrame() : ScreenFrame{};
    });
    // The display the drawing is on, so that a picture can keep off it.
    std::weak_ptr<AnnotationService> annotations = services_.annotations;
    services_.presentationImages->setMarksDisplay([annotations, displays]() -> std::optional<std::uint32_t> {
        auto drawing = annotations.lock();
        auto screens = displays.lock();
        if (!drawing || !screens) {
            return std::nullopt;
        }
        auto frame = drawing->screenFrame();
        return frame ? screens->displayIDForScreenFrame(*frame) : std::nullopt;
    });
    services_.input->setOnShake([weak] {
        if (auto self = weak.lock()) {
            self->services_.pointerHighlight->pointerDidShake();
        }
    });
    unlockConsentSubscription_ = preferences_.allowsUnlockFromIPhone().subscribe([weak](bool allowed) {
        if (auto self = weak.lock(); self && !allowed) {
            self->withdrawUnlockAttempts([](const DeviceID&) { return true; });
        }
    });
}

void CompanionRuntime::onMain(std::function<void(CompanionRuntime&)> task) {
    executor_.post([weak = weak_from_this(), task = std::move(task)] {
        if (auto self = weak.lock()) {
            task(*self);
        }
    });
}

// ---- start and stop -------------------------------------------------------------------------------

void CompanionRuntime::start() {
    if (shouldRun_) {
        return;
    }
    shouldRun_ = true;
    permission_.refresh();
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    permissionSubscription_ = permission_.status().subscribe([weak](AccessibilityStatus value) {
        if (auto self = weak.lock()) {
            self->permissionChanged(value);
        }
    });
    permissionChanged(permission_.currentStatus());

    auto catalog = startAppCatalog();
    try {
        catalog->start();
        publishRunningApps(catalog->runningApps());
    } catch (const std::exception& error) {
        logger.error(std::string("The app catalog could not start: ") + error.what());
    }

    const std::optional<bool> locked = services_.screenLock->start([weak](bool isLocked) {
        auto self = weak.lock();
        if (self && self->shouldRun_ && self->listener_) {
            self->listener_->updateScreenLockStatus(isLocked ? TrackpadProtocol::ScreenLockStatus::locked
                                                             : TrackpadProtocol::ScreenLockStatus::unlocked);
        }
    });
    if (listener_ && locked) {
        listener_->updateScreenLockStatus(*locked ? TrackpadProtocol::ScreenLockStatus::locked
                                                  : TrackpadProtocol::ScreenLockStatus::unlocked);
    }

    startListener();
    startNowPlayingFeed();
    services_.volume->start();
}

void CompanionRuntime::stop() {
    shouldRun_ = false;
    cancelRetry();
    retryDelay_ = 1;
    canRetry.set(false);
    status.set(Texts::stopped);
    permissionSubscription_.reset();

    if (nowPlayingFeed_) {
        nowPlayingFeed_->stop();
        nowPlayingFeed_.reset();
    }
    services_.volume->stop();
    services_.screenLock->stop();
    if (appCatalog_) {
        appCatalog_->stop();
    }
    runningApps_.reset();
    openedApp.set(std::nullopt);

    if (connectionNotices_) {
        connectionNotices_->reset();
    }

    if (listener_) {
        listener_->stop();
    }
    services_.screenViews->stopAll();

    services_.input->retainDevices({});
    services_.gestures->retainDevices({});
    services_.annotations->retainDevices({});
    resetAnnotations();
    services_.presentationImages->retainDisplayChoices({});
    if (services_.presentationImages->retainOwners({})) {
        services_.presentationImages->refresh();
    }
    services_.presentationImages->resetModel();
    services_.presentationImages->refresh();

    resetInput();
    withdrawUnlockAttempts([](const DeviceID&) { return true; });
    // Requests still waiting are dropped, not served: the phones are gone and a stop must not wait.
    removeRequestsOf([](const DeviceID&) { return true; });
    // The app queue's backlog goes unanswered: places held for answers that may never come are freed.
    appAnswers_.clear();
    appLaunches_.clear();
    if (ownAppQueue_) {
        ownAppQueue_->discardPending();
    }
}

void CompanionRuntime::permissionChanged(AccessibilityStatus value) {
    if (value == AccessibilityStatus::missing) {
        resetAnnotations();
        resetInput();
    }
    if (listener_) {
        listener_->updateControlStatus(value == AccessibilityStatus::missing
                                           ? TrackpadProtocol::ControlStatus::accessibilityRequired
                                           : TrackpadProtocol::ControlStatus::ready);
    }
}

void CompanionRuntime::startNowPlayingFeed() {
    // An earlier feed is stopped first: two running feeds would report over each other.
    if (nowPlayingFeed_) {
        nowPlayingFeed_->stop();
    }
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    NowPlayingService::Options options;
    options.maxPixelSize = 360;
    options.maxByteCount = 61440;
    options.onChange = [weak, &executor = executor_](std::optional<TrackpadProtocol::NowPlaying> value) {
        executor.post([weak, value = std::move(value)]() mutable {
            if (auto self = weak.lock()) {
                self->publishNowPlaying(std::move(value));
            }
        });
    };
    nowPlayingFeed_ = services_.makeNowPlayingFeed(std::move(options));
    try {
        nowPlayingFeed_->start();
    } catch (const std::exception& error) {
        logger.error(std::string("The now-playing feed could not start: ") + error.what());
    }
}

// ---- the listener's lifecycle -------------------------------------------------------------------------

void CompanionRuntime::cancelRetry() {
    if (retryTimer_ != 0) {
        executor_.cancel(retryTimer_);
        retryTimer_ = 0;
    }
}

void CompanionRuntime::startListener() {
    if (!shouldRun_) {
        return;
    }
    canRetry.set(false);
    storeProblem.set(std::nullopt);
    status.set(Texts::starting);
    if (listener_) {
        listener_->stop();
        listener_->start();
        return;
    }
    std::shared_ptr<CoordinatorHandle> coordinator;
    try {
        coordinator = network_.makeCoordinator(network_.defaultStorePath(), pairingConfiguration());
    } catch (const TrustedDeviceStoreError& error) {
        reportStoreProblem(error);
        return;
    } catch (const std::exception& error) {
        listenerFailed(error.what());
        return;
    }
    coordinator_ = coordinator;

    permission_.refresh();
    coordinator->updateControlStatus(permission_.currentStatus() == AccessibilityStatus::missing
                                         ? TrackpadProtocol::ControlStatus::accessibilityRequired
                                         : TrackpadProtocol::ControlStatus::ready);
    coordinator->updateNowPlaying(nowPlaying_);
    if (runningApps_) {
        coordinator->updateRunningApps(*runningApps_);
    }
    if (auto locked = services_.screenLock->status()) {
        coordinator->updateScreenLockStatus(*locked ? TrackpadProtocol::ScreenLockStatus::locked
                                                    : TrackpadProtocol::ScreenLockStatus::unlocked);
    }
    trustedDevices.set(coordinator->trustedDevices());
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    coordinator->setEventHandler([weak](const PairingEvent& event) {
        if (auto self = weak.lock()) {
            self->handlePairingEvent(event);
        }
    });
    startAppCatalog();

    auto listener = network_.makeListener(coordinator, listenerCallbacks());
    std::weak_ptr<ListenerHandle> weakListener = listener;
    services_.volume->setChangeHandler([weakListener](TrackpadProtocol::VolumeStatus value) {
        if (auto strong = weakListener.lock()) {
            strong->updateVolumeStatus(value);
        }
    });
    listener_ = std::move(listener);
    listener_->start();
}

ListenerCallbacks CompanionRuntime::listenerCallbacks() {
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    ListenerCallbacks callbacks;
    callbacks.onMessage = [weak](const Message& message, const DeviceID& device) {
        if (auto self = weak.lock()) {
            self->handleMessage(message, device);
        }
    };
    callbacks.onCleanup = [weak](const Message& message, const DeviceID& device) {
        if (auto self = weak.lock()) {
            self->handleCleanupMessage(message, device);
        }
    };
    callbacks.onStateChange = [weak](const CompanionNetwork::ListenerState& state) {
        if (auto self = weak.lock()) {
            self->listenerStateChanged(state);
        }
    };
    callbacks.onAppRequest = [weak](const Message& message, const DeviceID& device,
                                    CompanionNetwork::CompanionListener::AppReply reply) {
        if (auto self = weak.lock()) {
            self->answerAppRequest(message, device, std::move(reply));
        } else {
            reply({});
        }
    };
    callbacks.onScreenViewRequest = [weak](const Message& message,
                                           const CompanionNetwork::ScreenViewLink& link) {
        if (auto self = weak.lock()) {
            self->handleScreenViewRequest(message, link);
        }
    };
    callbacks.onScreenViewEnded = [views = services_.screenViews,
                                   weak](CompanionNetwork::ConnectionID connection) {
        views->endSession(connection);
        if (auto self = weak.lock()) {
            self->screenViewEnded(connection);
        }
    };
    callbacks.onUnlockRequest = [weak](const TrackpadProtocol::UnlockRequest& request, const DeviceID& device,
                                       std::shared_ptr<CompanionNetwork::UnlockCancellation> cancellation,
                                       CompanionNetwork::CompanionListener::UnlockCompletion completion) {
        if (auto self = weak.lock()) {
            self->handleUnlockRequest(request, device, std::move(cancellation), std::move(completion));
        } else {
            completion(TrackpadProtocol::UnlockResult{request.number,
                                                      TrackpadProtocol::UnlockResult::Status::notAllowed});
        }
    };
    callbacks.onVolumeRequest = [weak](const Message& message, const DeviceID& device,
                                       CompanionNetwork::CompanionListener::VolumeReply reply) {
        if (auto self = weak.lock()) {
            self->answerVolumeRequest(message, device, std::move(reply));
        } else {
            reply(TrackpadProtocol::VolumeStatus::unsupported);
        }
    };
    return callbacks;
}

void CompanionRuntime::listenerStateChanged(const CompanionNetwork::ListenerState& state) {
    if (!shouldRun_) {
        return;
    }
    using State = CompanionNetwork::ListenerState;
    if (auto ready = state.as<State::Ready>()) {
        cancelRetry();
        retryDelay_ = 1;
        canRetry.set(false);
        const auto& problem = ready->details.advertisementProblem;
        status.set(problem ? Texts::availableNotAdvertised(*problem) : std::string(Texts::available));
    } else if (state.is<State::Waiting>()) {
        status.set(Texts::waiting);
    } else if (auto failed = state.as<State::Failed>()) {
        listenerFailed(failed->reason);
    } else if (state.is<State::Setup>()) {
        status.set(Texts::starting);
    }
}

void CompanionRuntime::listenerFailed(const std::string& message) {
    if (!shouldRun_) {
        return;
    }
    logger.error("Lumivex listener failed: " + message);
    cancelRetry();
    const std::uint64_t delay = retryDelay_;
    retryDelay_ = std::min<std::uint64_t>(delay * 2, 30);
    canRetry.set(true);
    status.set(listener_ ? Texts::unableToListen(delay) : Texts::unableToPrepare(delay));
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    retryTimer_ = executor_.schedule(seconds(delay), [weak] {
        auto self = weak.lock();
        if (!self || !self->shouldRun_) {
            return;
        }
        self->retryTimer_ = 0;
        self->startListener();
    });
}

void CompanionRuntime::reportStoreProblem(const TrustedDeviceStoreError& error) {
    logger.error("Lumivex paired iPhones list unusable: " + error.description());
    cancelRetry();
    retryDelay_ = 1;
    storeProblem.set(error);
    canRetry.set(true);
    status.set(error.kind() == TrustedDeviceStoreError::Kind::unreadable ? Texts::listDamaged
                                                                         : Texts::listNeedsNewer);
}

void CompanionRuntime::retry() {
    if (!shouldRun_ || !canRetry.value()) {
        return;
    }
    cancelRetry();
    retryDelay_ = 1;
    startListener();
}

void CompanionRuntime::forget(const DeviceID& device) {
    forgetError.set(std::nullopt);
    auto sameDevice = [device](const DeviceID& other) { return other == device; };
    if (!listener_) {
        withdrawUnlockAttempts(sameDevice);
        forgetError.set(std::string(Texts::notRunning));
        return;
    }
    std::weak_ptr<CompanionRuntime> weak = weak_from_this();
    listener_->forgetDevice(device, [weak, &executor = executor_](std::optional<std::string> error) {
        if (!error) {
            return;
        }
        executor.post([weak, error = std::move(error)] {
            if (auto self = weak.lock()) {
                self->forgetError.set(error);
            }
        });
    });
    withdrawUnlockAttempts(sameDevice);
}

void CompanionRuntime::resetTrustedDevices() {
    const auto& problem = storeProblem.value();
    if (!shouldRun_ || listener_ || !problem ||
        problem->kind() != TrustedDeviceStoreError::Kind::unreadable) {
        return;
    }
    storeResetError.set(std::nullopt);
    std::optional<std::filesystem::path> moved;
    try {
        moved = network_.quarantine(network_.defaultStorePath(), now_());
    } catch (const std::exception& error) {
        storeResetError.set(std::string(error.what()));
        return;
    }
    storeBackupURL.set(moved);
    retry();
}

void CompanionRuntime::cancelPairing() {
    if (listener_) {
        listener_->cancelPairing();
    }
}

bool CompanionRuntime::clearFinishedPairing() {
    PairingProgress progress = pairingProgress.value();
    if (!progress.clearFinished()) {
        return false;
    }
    pairingProgress.set(std::move(progress));
    return true;
}

}  // namespace Shell
