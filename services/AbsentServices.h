#pragma once
// The implementations of services that this build or this machine does not have. Each answers as the
// missing service would (screen view unavailable, no apps, volume unsupported, nothing playing, overlays
// that draw nothing) and logs once, when it is made, that the service is absent.
#include "services/CompanionServices.h"

namespace Shell {

class AbsentInputService final : public InputService {
  public:
    AbsentInputService();
    std::vector<TrackpadProtocol::Message> sequence(const TrackpadProtocol::Message&,
                                                    const DeviceID&) override {
        return {};
    }
    bool handle(const TrackpadProtocol::Message&) override { return false; }
    void reset() override {}
    void setInputController(const DeviceID&) override {}
    void retainDevices(const DeviceSet&) override {}
    void forgetDevice(const DeviceID&) override {}
    void setOnShake(std::function<void()>) override {}
};

// Passes every message through unchanged and carries none out.
class AbsentGestureService final : public GestureService {
  public:
    AbsentGestureService();
    std::vector<TrackpadProtocol::Message> sequence(const TrackpadProtocol::Message& message,
                                                    const DeviceID&) override {
        return {message};
    }
    bool handle(const TrackpadProtocol::Message& message, const DeviceID& device) override;
    void reset(const std::optional<DeviceID>&) override {}
    void retainDevices(const DeviceSet&) override {}
    void forgetDevice(const DeviceID&) override {}
};

// Enters nothing: every attempt ends at once as notReached.
class AbsentUnlockService final : public UnlockService {
  public:
    AbsentUnlockService();
    void unlock(std::string password, IsWithdrawn isWithdrawn, Completion completion) override;
};

// The lock state is unknown and never changes.
class AbsentScreenLockService final : public ScreenLockService {
  public:
    AbsentScreenLockService();
    std::optional<bool> start(ChangeHandler) override { return std::nullopt; }
    void stop() override {}
    std::optional<bool> status() const override { return std::nullopt; }
};

// No display can be shown: an empty display list, displayUnavailable for a view or a screenshot.
class AbsentScreenViewService final : public ScreenViewService {
  public:
    AbsentScreenViewService();
    void handle(const TrackpadProtocol::Message& message, const CompanionNetwork::ScreenViewLink& link,
                CompanionNetwork::ScreenViewLink::Send send) override;
    void endSession(CompanionNetwork::ConnectionID) override {}
    void stopAll() override {}
};

// No applications: empty lists and icons without an image.
class AbsentAppCatalogService final : public AppCatalogService {
  public:
    AbsentAppCatalogService();
    void start() override {}
    void stop() override {}
    std::vector<TrackpadProtocol::MacApp> runningApps() override { return {}; }
    std::optional<std::vector<TrackpadProtocol::Message>> answer(
        const TrackpadProtocol::Message& message) override;
};

class AbsentAppLaunchService final : public AppLaunchService {
  public:
    AbsentAppLaunchService();
    void open(const std::string& bundleID, Completion done) override;
    std::optional<std::string> runningName(const std::string&) override { return std::nullopt; }
    std::optional<std::string> installedName(const std::string&) override { return std::nullopt; }
};

// Nothing ever plays.
class AbsentNowPlayingService final : public NowPlayingService {
  public:
    AbsentNowPlayingService();
    void start() override {}
    void stop() override {}
};

// Takes no request, so the runtime answers VolumeStatus::unsupported.
class AbsentVolumeService final : public VolumeService {
  public:
    AbsentVolumeService();
    void setChangeHandler(ChangeHandler) override {}
    void start() override {}
    void stop() override {}
    bool handle(const TrackpadProtocol::Message&, Reply) override { return false; }
};

class AbsentOverlayDisplays final : public OverlayDisplays {
  public:
    AbsentOverlayDisplays();
    ScreenFrame pointerScreenFrame() override { return {}; }
    std::optional<std::uint32_t> displayIDForScreenFrame(const ScreenFrame&) override { return std::nullopt; }
};

class AbsentAnnotationService final : public AnnotationService {
  public:
    AbsentAnnotationService();
    void handle(const TrackpadProtocol::Annotation&, const DeviceID&) override {}
    void observe(const TrackpadProtocol::Message&, const DeviceID&) override {}
    double now() override;
    void applyToModel(const TrackpadProtocol::Annotation&, double) override {}
    void render(double) override {}
    void retainDevices(const DeviceSet&) override {}
    void removeDevice(const DeviceID&) override {}
    std::optional<ScreenFrame> screenFrame() override { return std::nullopt; }
    void setPointerScreen(std::function<ScreenFrame()>) override {}
};

class AbsentPresentationImageService final : public PresentationImageService {
  public:
    AbsentPresentationImageService();
    void handle(const TrackpadProtocol::PresentationImage&, const DeviceID&) override {}
    void observe(const TrackpadProtocol::Message&, const DeviceID&) override {}
    void refresh() override {}
    void retainDisplayChoices(const DeviceSet&) override {}
    void removeDisplayChoice(const DeviceID&) override {}
    bool retainOwners(const DeviceSet&) override { return false; }
    bool removeOwner(const DeviceID&) override { return false; }
    void resetModel() override {}
    std::optional<ScreenFrame> screenFrame() override { return std::nullopt; }
    void setMarksDisplay(std::function<std::optional<std::uint32_t>()>) override {}
};

class AbsentPointerHighlightService final : public PointerHighlightService {
  public:
    AbsentPointerHighlightService();
    void pointerDidShake() override {}
    void hide() override {}
};

}  // namespace Shell
