#include "ScreenView/shell/ScreenViewShellService.h"

#include "ScreenView/H264Encoder.h"
#include "ScreenView/RandRDisplayChanges.h"
#include "ScreenView/SystemScreenCaptureSource.h"
#include "ScreenView/SystemScreenRecordingPermission.h"

namespace ScreenView {

std::shared_ptr<ScreenViewShellService> makeScreenViewService(std::shared_ptr<platform::Executor> main,
                                                              std::string displayName) {
    auto host = std::make_unique<ScreenViewShellService::Host>(
        std::make_shared<SystemScreenCaptureSource>(displayName), std::make_shared<VideoToolboxEncoderFactory>(),
        SystemScreenRecordingPermission::system(std::move(main), displayName),
        ScreenViewSession::Configuration(2, 0.85), std::make_shared<RandRDisplayChanges>(displayName));
    return std::make_shared<ScreenViewShellService>(std::move(host));
}

}  // namespace ScreenView
