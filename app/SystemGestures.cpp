#include "app/SystemGestures.h"

#include "gestures/GestureEngine.h"
#include "gestures/KeyboardLayout.h"
#include "gestures/SystemActions.h"
#include "gestures/SystemGestureEvents.h"

namespace Shell {

namespace {

class SystemGestureService final : public GestureService {
  public:
    SystemGestureService(platform::Executor& executor, Injector::ScreenGeometry& geometry,
                         std::shared_ptr<Injector::XTestKeyboard> keyboard)
        : poster_(std::string(), &executor, std::move(keyboard)),
          hotKeys_(Gestures::SymbolicHotKeys::defaultsReader()),
          scheduler_(executor),
          engine_(
              Gestures::GestureMapping::defaultMapping(), Gestures::GestureEngine::Configuration{}, poster_,
              hotKeys_, layout_, [&geometry] { return geometry.cursorLocation(); },
              [] { return platform::monotonicSeconds(); }, Gestures::currentDockSwipeRecipe(),
              [](std::optional<Gestures::Point> point) {
                  return Gestures::SpacesLayout::spaceSwipeOffset(point);
              },
              [](Gestures::SystemAction action) {
                  return Gestures::DockGesturePreferences::isEnabled(action);
              },
              scheduler_, power_) {}

    std::vector<TrackpadProtocol::Message> sequence(const TrackpadProtocol::Message& message,
                                                    const DeviceID& device) override {
        return engine_.sequence(message, device);
    }
    bool handle(const TrackpadProtocol::Message& message, const DeviceID& device) override {
        // The keys and text of the message wait for the keyboard in the phone's own queue.
        poster_.setSource(device);
        const bool handled = engine_.handle(message);
        poster_.setSource(std::nullopt);
        return handled;
    }
    void reset(const std::optional<DeviceID>& device) override { engine_.reset(device); }
    void retainDevices(const DeviceSet& devices) override {
        engine_.retainDevices(devices);
        poster_.retainSources(devices);
    }
    void forgetDevice(const DeviceID& device) override {
        engine_.forgetDevice(device);
        // What the phone left waiting for the keyboard goes with it.
        poster_.dropSource(device);
    }

  private:
    Gestures::SystemGestureEventPoster poster_;
    Gestures::CurrentKeyboardLayout layout_;
    Gestures::SymbolicHotKeys hotKeys_;
    Gestures::MainQueueGestureScheduler scheduler_;
    Gestures::IOKitSystemPower power_;
    Gestures::GestureEngine engine_;
};

}  // namespace

std::shared_ptr<GestureService> makeSystemGestureService(platform::Executor& executor,
                                                         Injector::ScreenGeometry& geometry,
                                                         std::shared_ptr<Injector::XTestKeyboard> keyboard) {
    return std::make_shared<SystemGestureService>(executor, geometry, std::move(keyboard));
}

}  // namespace Shell
