#pragma once
// Recording fakes of every service and of the network, for driving the runtime without a system.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/core/CompanionRuntime.h"
#include "platform/ManualExecutor.h"

namespace Shell::testing {

using Calls = std::vector<std::string>;

inline std::string shortID(const DeviceID& id) {
    return id.uuidString().substr(0, 4);
}

class TemporaryFolder {
  public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "shell-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

struct FakeInput final : InputService {
    explicit FakeInput(Calls& calls) : calls(calls) {}
    std::vector<Message> sequence(const Message& message, const DeviceID&) override {
        if (holdBack) {
            return {};
        }
        return {message};
    }
    bool handle(const Message& message) override {
        calls.push_back("input.handle");
        return message.is<Message::Move>() || message.is<Message::Scroll>() || message.is<Message::Tap>();
    }
    void reset() override { calls.push_back("input.reset"); }
    void setInputController(const DeviceID& device) override {
        calls.push_back("input.controller " + shortID(device));
    }
    void retainDevices(const DeviceSet& devices) override {
        calls.push_back("input.retain " + std::to_string(devices.size()));
    }
    void forgetDevice(const DeviceID& device) override { calls.push_back("input.forget " + shortID(device)); }
    void setOnShake(std::function<void()> handler) override { onShake = std::move(handler); }
    Calls& calls;
    bool holdBack = false;
    std::function<void()> onShake;
};

struct FakeGestures final : GestureService {
    explicit FakeGestures(Calls& calls) : calls(calls) {}
    std::vector<Message> sequence(const Message& message, const DeviceID&) override { return {message}; }
    bool handle(const Message&, const DeviceID&) override {
        calls.push_back("gestures.handle");
        return true;
    }
    void reset(const std::optional<DeviceID>& device) override {
        calls.push_back("gestures.reset " + (device ? shortID(*device) : std::string("none")));
    }
    void retainDevices(const DeviceSet& devices) override {
        calls.push_back("gestures.retain " + std::to_string(devices.size()));
    }
    void forgetDevice(const DeviceID& device) override {
        calls.push_back("gestures.forget " + shortID(device));
    }
    Calls& calls;
};

struct FakeUnlocker final : UnlockService {
    explicit FakeUnlocker(Calls& calls) : calls(calls) {}
    void unlock(std::string password, IsWithdrawn withdrawn, Completion completion) override {
        calls.push_back("unlocker.unlock");
        lastPassword = std::move(password);
        isWithdrawn = std::move(withdrawn);
        pending = std::move(completion);
    }
    Calls& calls;
    std::string lastPassword;
    IsWithdrawn isWithdrawn;
    Completion pending;
};

struct FakeScreenLock final : ScreenLockService {
    explicit FakeScreenLock(Calls& calls) : calls(calls) {}
    std::optional<bool> start(ChangeHandler handler) override {
        calls.push_back("screenLock.start");
        onChange = std::move(handler);
        return locked;
    }
    void stop() override { calls.push_back("screenLock.stop"); }
    std::optional<bool> status() const override { return locked; }
    Calls& calls;
    std::optional<bool> locked = false;
    ChangeHandler onChange;
};

struct FakeScreenViews final : ScreenViewService {
    explicit FakeScreenViews(Calls& calls) : calls(calls) {}
    void handle(const Message& message, const CompanionNetwork::ScreenViewLink&,
                CompanionNetwork::ScreenViewLink::Send send) override {
        calls.push_back("screenViews.handle");
        if (const auto* shot = message.as<Message::ScreenshotRequest>()) {
            screenshots.emplace_back(shot->request.number, std::move(send));
        }
    }
    void endSession(CompanionNetwork::ConnectionID) override { calls.push_back("screenViews.end"); }
    void stopAll() override { calls.push_back("screenViews.stopAll"); }
    Calls& calls;
    // The screenshots asked for, with the send each is to be answered through.
    std::vector<std::pair<std::uint32_t, CompanionNetwork::ScreenViewLink::Send>> screenshots;
};

struct FakeCatalog final : AppCatalogService {
    explicit FakeCatalog(Calls& calls) : calls(calls) {}
    void start() override { calls.push_back("catalog.start"); }
    void stop() override { calls.push_back("catalog.stop"); }
    std::vector<TrackpadProtocol::MacApp> runningApps() override { return apps; }
    std::optional<std::vector<Message>> answer(const Message&) override {
        if (throws) {
            throw std::runtime_error("catalog broke");
        }
        return std::nullopt;
    }
    Calls& calls;
    std::vector<TrackpadProtocol::MacApp> apps{{"org.example.editor", "Editor", {}}};
    bool throws = false;
    AppCatalogService::Options options;
};

struct FakeLauncher final : AppLaunchService {
    void open(const std::string& bundleID, Completion done) override {
        done(TrackpadProtocol::OpenAppResult{bundleID, status});
    }
    std::optional<std::string> runningName(const std::string&) override { return std::nullopt; }
    std::optional<std::string> installedName(const std::string&) override {
        return std::string("Editor.app");
    }
    TrackpadProtocol::OpenAppResult::Status status = TrackpadProtocol::OpenAppResult::Status::opened;
};

struct FakeNowPlaying final : NowPlayingService {
    FakeNowPlaying(Calls& calls, Options options) : calls(calls), options(std::move(options)) {}
    void start() override { calls.push_back("nowPlaying.start"); }
    void stop() override { calls.push_back("nowPlaying.stop"); }
    Calls& calls;
    Options options;
};

struct FakeVolume final : VolumeService {
    explicit FakeVolume(Calls& calls) : calls(calls) {}
    void setChangeHandler(ChangeHandler handler) override { onChange = std::move(handler); }
    void start() override { calls.push_back("volume.start"); }
    void stop() override { calls.push_back("volume.stop"); }
    bool handle(const Message& message, Reply reply) override {
        if (!message.is<Message::VolumeStatusRequest>()) {
            return false;
        }
        reply(TrackpadProtocol::VolumeStatus{40, false, true});
        return true;
    }
    Calls& calls;
    ChangeHandler onChange;
};

struct FakeAnnotations final : AnnotationService {
    explicit FakeAnnotations(Calls& calls) : calls(calls) {}
    void handle(const TrackpadProtocol::Annotation&, const DeviceID&) override {
        calls.push_back("annotations.handle");
    }
    void observe(const Message&, const DeviceID&) override { calls.push_back("annotations.observe"); }
    double now() override { return 5.0; }
    void applyToModel(const TrackpadProtocol::Annotation&, double) override {
        calls.push_back("annotations.clear");
    }
    void render(double) override { calls.push_back("annotations.render"); }
    void retainDevices(const DeviceSet& devices) override {
        calls.push_back("annotations.retain " + std::to_string(devices.size()));
    }
    void removeDevice(const DeviceID& device) override {
        calls.push_back("annotations.remove " + shortID(device));
    }
    std::optional<ScreenFrame> screenFrame() override { return std::nullopt; }
    void setPointerScreen(std::function<ScreenFrame()>) override {}
    Calls& calls;
};

struct FakePictures final : PresentationImageService {
    explicit FakePictures(Calls& calls) : calls(calls) {}
    void handle(const TrackpadProtocol::PresentationImage&, const DeviceID&) override {
        calls.push_back("pictures.handle");
    }
    void observe(const Message&, const DeviceID&) override { calls.push_back("pictures.observe"); }
    void refresh() override { calls.push_back("pictures.refresh"); }
    void retainDisplayChoices(const DeviceSet&) override { calls.push_back("pictures.retainChoices"); }
    void removeDisplayChoice(const DeviceID&) override { calls.push_back("pictures.removeChoice"); }
    bool retainOwners(const DeviceSet&) override {
        calls.push_back("pictures.retainOwners");
        return false;
    }
    bool removeOwner(const DeviceID&) override {
        calls.push_back("pictures.removeOwner");
        return true;
    }
    void resetModel() override { calls.push_back("pictures.reset"); }
    std::optional<ScreenFrame> screenFrame() override { return std::nullopt; }
    void setMarksDisplay(std::function<std::optional<std::uint32_t>()>) override {}
    Calls& calls;
};

struct FakeHighlight final : PointerHighlightService {
    explicit FakeHighlight(Calls& calls) : calls(calls) {}
    void pointerDidShake() override { calls.push_back("highlight.shake"); }
    void hide() override { calls.push_back("highlight.hide"); }
    Calls& calls;
};

struct FakeNotices final : ConnectionNotices {
    explicit FakeNotices(Calls& calls) : calls(calls) {}
    void connectionsChanged(const std::set<DeviceID>& connected, const std::vector<TrustedDevice>&) override {
        calls.push_back("notices.changed " + std::to_string(connected.size()));
    }
    void reset() override { calls.push_back("notices.reset"); }
    Calls& calls;
};

struct FakeListener final : ListenerHandle {
    FakeListener(Calls& calls, ListenerCallbacks callbacks) : calls(calls), callbacks(std::move(callbacks)) {}
    void start() override { calls.push_back("listener.start"); }
    void stop() override { calls.push_back("listener.stop"); }
    void cancelPairing() override { calls.push_back("listener.cancelPairing"); }
    void forgetDevice(const TrackpadProtocol::UUID& device,
                      CompanionNetwork::CompanionListener::ForgetCompletion completion) override {
        calls.push_back("listener.forget " + shortID(device));
        completion(forgetFailure);
    }
    void updateControlStatus(TrackpadProtocol::ControlStatus status) override {
        controlStatuses.push_back(status);
    }
    void updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus status) override {
        screenLockStatuses.push_back(status);
    }
    void updateVolumeStatus(TrackpadProtocol::VolumeStatus) override { calls.push_back("listener.volume"); }
    void updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying>) override {
        calls.push_back("listener.nowPlaying");
    }
    void updateRunningApps(std::vector<TrackpadProtocol::MacApp>) override {
        calls.push_back("listener.runningApps");
    }
    Calls& calls;
    ListenerCallbacks callbacks;
    std::optional<std::string> forgetFailure;
    std::vector<TrackpadProtocol::ControlStatus> controlStatuses;
    std::vector<TrackpadProtocol::ScreenLockStatus> screenLockStatuses;
};

struct FakeCoordinator final : CoordinatorHandle {
    explicit FakeCoordinator(std::vector<TrustedDevice> devices) : devices(std::move(devices)) {}
    std::vector<TrustedDevice> trustedDevices() const override { return devices; }
    void setEventHandler(CompanionNetwork::PairingCoordinator::EventHandler handler) override {
        onEvent = std::move(handler);
    }
    void updateControlStatus(TrackpadProtocol::ControlStatus) override {}
    void updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying>) override {}
    void updateRunningApps(std::vector<TrackpadProtocol::MacApp>) override {}
    void updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus) override {}
    std::vector<TrustedDevice> devices;
    CompanionNetwork::PairingCoordinator::EventHandler onEvent;
};

// The network with a recording listener. The coordinator is a fake unless a real store folder is given,
// in which case the real file store and pairing coordinator load the list.
struct FakeNetwork final : RuntimeNetwork {
    explicit FakeNetwork(Calls& calls) : calls(calls) {}
    std::filesystem::path defaultStorePath() override;
    std::shared_ptr<CoordinatorHandle> makeCoordinator(
        const std::filesystem::path& store,
        const CompanionNetwork::PairingCoordinator::Configuration&) override;
    std::shared_ptr<ListenerHandle> makeListener(std::shared_ptr<CoordinatorHandle>,
                                                 ListenerCallbacks callbacks) override {
        calls.push_back("network.makeListener");
        listener = std::make_shared<FakeListener>(calls, std::move(callbacks));
        return listener;
    }
    std::optional<std::filesystem::path> quarantine(const std::filesystem::path& store, Date date) override;

    Calls& calls;
    // Failures to throw from makeCoordinator, one per call, before it succeeds.
    int failuresLeft = 0;
    std::optional<std::filesystem::path> dataHome;
    bool quarantineFails = false;
    std::shared_ptr<FakeCoordinator> coordinator;
    std::shared_ptr<FakeListener> listener;
};

struct TrustAnswer final : TrustProbe {
    bool isTrusted() override { return trusted; }
    bool trusted = true;
};

// A runtime over fakes, with its virtual-time executor.
struct RuntimeHarness {
    RuntimeHarness();
    ~RuntimeHarness();

    void event(const PairingEvent& e) { network.coordinator->onEvent(e); }
    void connect(std::set<DeviceID> devices) {
        event(PairingEvent::ConnectedDevicesChanged{std::move(devices)});
    }
    Calls take() { return std::exchange(calls, {}); }

    Calls calls;
    TemporaryFolder folder;
    platform::ManualExecutor executor;
    TrustAnswer probe;
    AccessibilityPermission permission{executor, probe};
    CompanionPreferences preferences{folder.path() / "Preferences.json"};
    FakeNetwork network{calls};
    std::shared_ptr<FakeInput> input = std::make_shared<FakeInput>(calls);
    std::shared_ptr<FakeUnlocker> unlocker = std::make_shared<FakeUnlocker>(calls);
    std::shared_ptr<FakeScreenLock> screenLock = std::make_shared<FakeScreenLock>(calls);
    std::shared_ptr<FakeCatalog> catalog = std::make_shared<FakeCatalog>(calls);
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    std::shared_ptr<FakeVolume> volume = std::make_shared<FakeVolume>(calls);
    std::vector<std::shared_ptr<FakeNowPlaying>> feeds;
    std::shared_ptr<FakeScreenViews> screenViews = std::make_shared<FakeScreenViews>(calls);
    // App answers run at once, unless held here for the test to run.
    bool holdAppWork = false;
    std::vector<CompanionRuntime::Task> heldAppWork;
    std::shared_ptr<CompanionRuntime> runtime;
};

}  // namespace Shell::testing
