#include "app/core/tests/RuntimeFakes.h"

#include "network/FileTrustedDeviceStore.h"

namespace Shell::testing {

std::filesystem::path FakeNetwork::defaultStorePath() {
    if (dataHome) {
        return CompanionNetwork::FileTrustedDeviceStore::defaultURL(*dataHome);
    }
    return "/nonexistent/TrustedDevices.json";
}

std::shared_ptr<CoordinatorHandle> FakeNetwork::makeCoordinator(
    const std::filesystem::path& store, const CompanionNetwork::PairingCoordinator::Configuration&) {
    calls.push_back("network.makeCoordinator");
    if (failuresLeft > 0) {
        --failuresLeft;
        throw std::runtime_error("no entropy today");
    }
    std::vector<TrustedDevice> devices;
    if (dataHome) {
        // Loads (and may refuse) the real file.
        if (auto list = CompanionNetwork::FileTrustedDeviceStore(store).load()) {
            devices = list->devices;
        }
    }
    coordinator = std::make_shared<FakeCoordinator>(std::move(devices));
    return coordinator;
}

std::optional<std::filesystem::path> FakeNetwork::quarantine(const std::filesystem::path& store, Date date) {
    if (quarantineFails) {
        throw std::filesystem::filesystem_error("cannot move", store,
                                                std::make_error_code(std::errc::read_only_file_system));
    }
    return CompanionNetwork::FileTrustedDeviceStore(store).quarantine(date);
}

RuntimeHarness::RuntimeHarness() {
    CompanionServices services;
    services.input = input;
    services.gestures = std::make_shared<FakeGestures>(calls);
    services.unlocker = unlocker;
    services.screenLock = screenLock;
    services.screenViews = screenViews;
    services.makeAppCatalog = [this](AppCatalogService::Options options) {
        catalog->options = std::move(options);
        return catalog;
    };
    services.appLauncher = launcher;
    services.makeNowPlayingFeed = [this](NowPlayingService::Options options) {
        feeds.push_back(std::make_shared<FakeNowPlaying>(calls, std::move(options)));
        return feeds.back();
    };
    services.volume = volume;
    services.annotations = std::make_shared<FakeAnnotations>(calls);
    services.presentationImages = std::make_shared<FakePictures>(calls);
    services.pointerHighlight = std::make_shared<FakeHighlight>(calls);
    runtime = CompanionRuntime::create(CompanionRuntime::Dependencies{
        executor, network, permission, preferences, std::move(services),
        [this](CompanionRuntime::Task task) {
            if (holdAppWork) {
                heldAppWork.push_back(std::move(task));
            } else {
                task();
            }
        },
        [] { return Date{} + std::chrono::hours(24 * 365 * 56); }, std::make_shared<FakeNotices>(calls),
        "dev.quelmar.trackpad.mac", 4242});
}

RuntimeHarness::~RuntimeHarness() = default;

}  // namespace Shell::testing
