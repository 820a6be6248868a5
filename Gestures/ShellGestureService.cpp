#include "Gestures/ShellGestureService.h"

#include "Gestures/GestureEngine.h"
#include "Injector/SystemScreenGeometry.h"
#include "platform/Executor.h"

namespace Gestures {
namespace {

class EngineService final : public Shell::GestureService {
  public:
    EngineService(platform::Executor& executor, const std::string& displayName)
        : poster_(displayName, &executor),
          layout_(displayName),
          hotKeys_([] { return SymbolicHotKeys::readDefaults(); }),
          geometry_(displayName),
          scheduler_(executor),
          engine_(GestureMapping::defaultMapping(), GestureEngine::Configuration{}, poster_, hotKeys_, layout_,
                  [this] { return geometry_.cursorLocation(); }, [&executor] { return executor.now(); },
                  currentDockSwipeRecipe(),
                  [](std::optional<Point> point) { return SpacesLayout::spaceSwipeOffset(point); },
                  [](SystemAction action) { return DockGesturePreferences::isEnabled(action); }, scheduler_,
                  power_) {}

    std::vector<Message> sequence(const Message& message, const Shell::DeviceID& device) override {
        return engine_.sequence(message, device);
    }
    bool handle(const Message& message) override { return engine_.handle(message); }
    void reset(const std::optional<Shell::DeviceID>& device) override { engine_.reset(device); }
    void retainDevices(const Shell::DeviceSet& devices) override { engine_.retainDevices(devices); }
    void forgetDevice(const Shell::DeviceID& device) override { engine_.forgetDevice(device); }

  private:
    SystemGestureEventPoster poster_;
    CurrentKeyboardLayout layout_;
    SymbolicHotKeys hotKeys_;
    Injector::SystemScreenGeometry geometry_;
    MainQueueGestureScheduler scheduler_;
    IOKitSystemPower power_;
    GestureEngine engine_;
};

}  // namespace

std::shared_ptr<Shell::GestureService> makeShellGestureService(platform::Executor& executor,
                                                               const std::string& displayName) {
    return std::make_shared<EngineService>(executor, displayName);
}

}  // namespace Gestures
