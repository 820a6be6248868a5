#pragma once
// Everything the runtime uses of its neighbours, handed over by the process's composition root. A
// service that is not given (or whose module is not built) is replaced by its absent implementation,
// which answers as a missing service would and says so once in the log.
#include <functional>
#include <memory>

#include "services/AppServices.h"
#include "services/InputServices.h"
#include "services/LockScreenServices.h"
#include "services/MediaServices.h"
#include "services/OverlayServices.h"
#include "services/ScreenViewService.h"

namespace Shell {

struct CompanionServices {
    using AppCatalogFactory = std::function<std::shared_ptr<AppCatalogService>(AppCatalogService::Options)>;
    using NowPlayingFactory = std::function<std::shared_ptr<NowPlayingService>(NowPlayingService::Options)>;

    std::shared_ptr<InputService> input;
    std::shared_ptr<GestureService> gestures;
    std::shared_ptr<UnlockService> unlocker;
    std::shared_ptr<ScreenLockService> screenLock;
    std::shared_ptr<ScreenViewService> screenViews;
    // The runtime builds the catalog once, when it first starts.
    AppCatalogFactory makeAppCatalog;
    std::shared_ptr<AppLaunchService> appLauncher;
    // The runtime builds a new feed at every start.
    NowPlayingFactory makeNowPlayingFeed;
    std::shared_ptr<VolumeService> volume;
    std::shared_ptr<OverlayDisplays> displays;
    std::shared_ptr<AnnotationService> annotations;
    std::shared_ptr<PresentationImageService> presentationImages;
    std::shared_ptr<PointerHighlightService> pointerHighlight;

    // Puts the absent implementation in place of every service not given.
    void completeWithAbsentServices();
};

}  // namespace Shell
