#pragma once
// The shell's volume service as the process runs it: the volume controller over the sound server's
// default output, with the key-pressing volume display on the X display, on a serial queue of its own.
//
// Thread: any; the work runs on the queue "dev.quelmar.trackpad.mac.volume".
#include <memory>
#include <string>

#include "media/volume/VolumeController.h"
#include "services/MediaServices.h"

namespace platform {
class LoopQueue;
}

namespace media {

class SystemVolumeService final : public Shell::VolumeService {
  public:
    // `displayName` is the X display whose keys show the desktop's volume display (empty: $DISPLAY);
    // `showsDisplay` false leaves the display out (no X, or a desktop that should not see key presses).
    explicit SystemVolumeService(const std::string& displayName, bool showsDisplay = true);
    // Stops the controller and finishes the queue's work: every accepted request has been answered.
    ~SystemVolumeService() override;

    void setChangeHandler(ChangeHandler handler) override;
    void start() override;
    void stop() override;
    bool handle(const TrackpadProtocol::Message& message, Reply reply) override;
    // A volume key carried out on the output (see VolumeController::pressKey); false when there is no
    // output volume to change.
    bool pressKey(VolumeController::VolumeKey key);

  private:
    std::unique_ptr<platform::LoopQueue> queue_;
    std::shared_ptr<VolumeController> controller_;
};

}  // namespace media
