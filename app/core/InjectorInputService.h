#pragma once
// The pointer injector as the runtime's input service.
#include "injector/InputInjector.h"
#include "services/InputServices.h"

namespace Shell {

class InjectorInputService final : public InputService {
  public:
    // The injector must outlive the service.
    explicit InjectorInputService(Injector::InputInjector& injector) : injector_(injector) {}

    std::vector<TrackpadProtocol::Message> sequence(const TrackpadProtocol::Message& message,
                                                    const DeviceID& device) override {
        return injector_.sequence(message, device);
    }
    bool handle(const TrackpadProtocol::Message& message) override { return injector_.handle(message); }
    void reset() override { injector_.reset(); }
    void setInputController(const DeviceID& device) override { injector_.setInputController(device); }
    void retainDevices(const DeviceSet& devices) override { injector_.retainDevices(devices); }
    void forgetDevice(const DeviceID& device) override { injector_.forgetDevice(device); }
    void setOnShake(std::function<void()> onShake) override { injector_.onShake = std::move(onShake); }

  private:
    Injector::InputInjector& injector_;
};

}  // namespace Shell
