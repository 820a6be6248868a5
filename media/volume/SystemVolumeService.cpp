#include "media/volume/SystemVolumeService.h"

#include <thread>

#include "media/volume/PulseAudioVolumeProvider.h"
#include "media/volume/SystemVolumeOSD.h"
#include "media/volume/VolumeController.h"
#include "platform/LoopQueue.h"

namespace media {

SystemVolumeService::SystemVolumeService(const std::string& displayName, bool showsDisplay)
    : queue_(std::make_unique<platform::LoopQueue>("dev.quelmar.trackpad.mac.volume")) {
    std::unique_ptr<VolumeOSD> osd;
    if (showsDisplay) {
        osd = std::make_unique<SystemVolumeOSD>(
            SystemVolumeOSD::xTestKeyPresser(displayName), [] { return platform::monotonicSeconds(); },
            [](double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); });
    }
    controller_ = std::make_shared<VolumeController>(std::make_unique<PulseAudioVolumeProvider>(),
                                                     std::move(osd), *queue_);
}

SystemVolumeService::~SystemVolumeService() {
    controller_->stop();
    // After this the queue holds no task that refers to the controller.
    queue_->sync([] {});
    controller_.reset();
    queue_.reset();
}

void SystemVolumeService::setChangeHandler(ChangeHandler handler) {
    controller_->setChangeHandler(std::move(handler));
}

void SystemVolumeService::start() {
    controller_->start();
}

void SystemVolumeService::stop() {
    controller_->stop();
}

bool SystemVolumeService::handle(const TrackpadProtocol::Message& message, Reply reply) {
    return controller_->handle(message, std::move(reply));
}

bool SystemVolumeService::pressKey(VolumeController::VolumeKey key) {
    return controller_->pressKey(key);
}

}  // namespace media
