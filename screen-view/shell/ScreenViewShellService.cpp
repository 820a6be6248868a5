#include "screen-view/shell/ScreenViewShellService.h"

#include "platform/EventLoop.h"
#include "screen-view/DirectoryDisplays.h"
#include "screen-view/H264Encoder.h"
#include "screen-view/SystemScreenCaptureSource.h"
#include "screen-view/SystemScreenRecordingPermission.h"

namespace ScreenView {

std::shared_ptr<ScreenViewShellService> makeScreenViewService(platform::EventLoop& main,
                                                              platform::DisplayDirectory* directory,
                                                              std::string displayName) {
    auto displays = directory ? DirectoryDisplays::over(*directory, main) : DirectoryDisplays::empty();
    // Not owned: the main loop outlives every service of the process.
    std::shared_ptr<platform::Executor> mainQueue(&main, [](platform::Executor*) {});
    auto host = std::make_unique<ScreenViewShellService::Host>(
        std::make_shared<SystemScreenCaptureSource>(displays, displayName),
        std::make_shared<VideoToolboxEncoderFactory>(),
        SystemScreenRecordingPermission::system(std::move(mainQueue), displayName),
        ScreenViewSession::Configuration(2, 0.85), displays);
    return std::make_shared<ScreenViewShellService>(std::move(host));
}

}  // namespace ScreenView
