#include "app/SystemOverlays.h"

#include <malloc.h>

#include <vector>

#include "app/overlays/CompositorWatch.h"
#include "app/overlays/OverlayPanels.h"
#include "app/overlays/OverlayServices.h"
#include "platform/DisplayDirectory.h"
#include "platform/DispatchQueue.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/Published.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "overlays");

Annotations::Rect frameOf(const platform::DisplayInfo& display) {
    return {{static_cast<double>(display.frame.x), static_cast<double>(display.frame.y)},
            {static_cast<double>(display.frame.width), static_cast<double>(display.frame.height)}};
}

class DirectoryDisplays final : public OverlayDisplays {
public:
    explicit DirectoryDisplays(platform::DisplayDirectory& directory) : directory_(directory) {}

    ScreenFrame pointerScreenFrame() override {
        auto display = directory_.pointerDisplay();
        if (!display) display = directory_.mainDisplay();
        return display ? OverlayWindows::toScreenFrame(frameOf(*display)) : ScreenFrame{};
    }

    std::optional<std::uint32_t> displayIDForScreenFrame(const ScreenFrame& frame) override {
        for (const auto& display : directory_.displays().value()) {
            if (OverlayWindows::toScreenFrame(frameOf(display)) == frame) return display.id;
        }
        return std::nullopt;
    }

private:
    platform::DisplayDirectory& directory_;
};

}  // namespace

class SystemOverlays {
public:
    // Two phones' pictures decode at once, so that one phone's long decode holds up no other's; large
    // decodes still take turns in the imaging library, which keeps the two within the memory bound.
    std::vector<std::shared_ptr<platform::DispatchQueue>> decodeQueues{
        std::make_shared<platform::DispatchQueue>("dev.quelmar.trackpad.mac.presentation-image"),
        std::make_shared<platform::DispatchQueue>("dev.quelmar.trackpad.mac.presentation-image")};
    std::shared_ptr<OverlayWindows::AnnotationOverlay> annotationWindow =
        std::make_shared<OverlayWindows::AnnotationOverlay>();
    std::shared_ptr<OverlayWindows::PresentationImageOverlay> pictureWindow =
        std::make_shared<OverlayWindows::PresentationImageOverlay>();
    std::shared_ptr<OverlayWindows::PointerHighlightOverlay> glowWindow =
        std::make_shared<OverlayWindows::PointerHighlightOverlay>();
    std::unique_ptr<OverlayWindows::CompositorWatch> compositor = OverlayWindows::CompositorWatch::open();
    std::shared_ptr<OverlayWindows::AnnotationOverlayService> annotations;
    std::shared_ptr<OverlayWindows::PresentationImageOverlayService> pictures;
    platform::Published<std::vector<platform::DisplayInfo>>::Subscription displayChanges;
};

void discardPendingWork(SystemOverlays& overlays) {
    overlays.pictures->stopDecodes();
    for (const auto& queue : overlays.decodeQueues) {
        queue->discardPending();
    }
}

std::shared_ptr<SystemOverlays> installSystemOverlays(CompanionServices& services, platform::EventLoop& loop,
                                                      platform::DisplayDirectory* displays,
                                                      platform::Published<bool>& highlightsPointerOnShake) {
    if (!displays) {
        logger.notice("The X display cannot be reached: annotations, pictures and the pointer highlight are off");
        return nullptr;
    }
    // Pictures pass through buffers of many megabytes on several threads; glibc would keep such blocks in
    // its heaps once its thresholds have grown past them. A fixed threshold maps every block from 1 MiB on
    // by itself, so that memory goes back to the system as soon as a picture is let go.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    auto overlays = std::make_shared<SystemOverlays>();
    platform::DisplayDirectory& directory = *displays;
    auto frameOfDisplay = [&directory](std::uint32_t id) -> std::optional<Annotations::Rect> {
        auto display = directory.display(id);
        if (!display) return std::nullopt;
        return frameOf(*display);
    };
    auto pointerDisplay = [&directory]() -> std::optional<std::uint32_t> {
        auto display = directory.pointerDisplay();
        if (!display) display = directory.mainDisplay();
        return display ? std::optional(display->id) : std::nullopt;
    };
    auto mouseLocation = [&directory]() -> Annotations::Point {
        auto location = directory.pointerLocation();
        return location ? Annotations::Point{static_cast<double>(location->x), static_cast<double>(location->y)}
                        : Annotations::Point{};
    };

    overlays->annotations =
        std::make_shared<OverlayWindows::AnnotationOverlayService>(overlays->annotationWindow, frameOfDisplay, loop);
    overlays->pictures = std::make_shared<OverlayWindows::PresentationImageOverlayService>(
        overlays->pictureWindow, frameOfDisplay, pointerDisplay, loop, overlays->decodeQueues);
    // A picture shown (or moved) goes below the drawing, so annotations stay readable over it.
    overlays->pictureWindow->setOnShown([window = overlays->annotationWindow.get()] { window->raise(); });
    auto highlight = std::make_shared<OverlayWindows::PointerHighlightOverlayService>(
        [&highlightsPointerOnShake] { return highlightsPointerOnShake.value(); },
        overlays->glowWindow, mouseLocation, loop);

    // Without a compositing manager the windows are shaped to what they draw; one may start or stop at
    // any time.
    if (overlays->compositor) {
        auto apply = [raw = overlays.get()](bool composited) {
            logger.info(composited ? "A compositing manager runs: the overlays are translucent"
                                   : "No compositing manager: the overlays are shaped to what they draw");
            raw->annotationWindow->setComposited(composited);
            raw->pictureWindow->setComposited(composited);
            raw->glowWindow->setComposited(composited);
        };
        apply(overlays->compositor->isComposited());
        overlays->compositor->follow(apply);
    }

    std::weak_ptr<SystemOverlays> weak = overlays;
    overlays->displayChanges = directory.displays().subscribe([weak](const auto&) {
        if (auto self = weak.lock()) {
            self->annotations->screenParametersChanged();
            self->pictures->screenParametersDidChange();
        }
    });

    services.displays = std::make_shared<DirectoryDisplays>(directory);
    services.annotations = overlays->annotations;
    services.presentationImages = overlays->pictures;
    services.pointerHighlight = highlight;
    return overlays;
}

}  // namespace Shell
