#include "ScreenView/shell/ScreenViewShellService.h"

#include "ScreenView/H264Encoder.h"
#include "ScreenView/RandRDisplayChanges.h"
#include "ScreenView/SystemScreenCaptureSource.h"
#include "ScreenView/SystemScreenRecordingPermission.h"

namespace ScreenView {

std::shared_ptr<ScreenViewShellService> makeScreenViewService(platform::Executor& main,
                                                              std::string displayName) {
    // Not owned: the main loop outlives every service of the process.
    std::shared_ptr<platform::Executor> mainQueue(&main, [](platform::Executor*) {});
    auto host = std::make_unique<ScreenViewShellService::Host>(
        std::make_shared<SystemScreenCaptureSource>(displayName),
        std::make_shared<VideoToolboxEncoderFactory>(),
        SystemScreenRecordingPermission::system(std::move(mainQueue), displayName),
        ScreenViewSession::Configuration(2, 0.85), std::make_shared<RandRDisplayChanges>(displayName));
    return std::make_shared<ScreenViewShellService>(std::move(host));
}

}  // namespace ScreenView
