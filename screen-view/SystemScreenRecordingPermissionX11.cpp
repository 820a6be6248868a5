// The screen-capture permission on X11: capture is possible when the display can be reached and lets us
// read a pixel of its root window. There is nothing to grant, so the one-time prompt explains in the log.
#include <xcb/xcb.h>

#include "platform/Log.h"
#include "screen-view/SystemScreenRecordingPermission.h"
#include "screen-view/XDisplayConnection.h"

namespace ScreenView {

namespace {

bool canReadScreen(const std::string& displayName) {
    XDisplayConnection display(displayName);
    if (!display.usable()) {
        return false;
    }
    xcb_generic_error_t* error = nullptr;
    const XReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(
        display.get(),
        xcb_get_image(display.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, display.root(), 0, 0, 1, 1, ~0u), &error));
    std::free(error);
    return reply != nullptr;
}

}  // namespace

std::shared_ptr<SystemScreenRecordingPermission> SystemScreenRecordingPermission::system(
    std::shared_ptr<platform::Executor> main, std::string displayName) {
    return std::make_shared<SystemScreenRecordingPermission>(
        [displayName] { return canReadScreen(displayName); },
        [] {
            platform::Logger("dev.quelmar.trackpad.mac", "screenview")
                .notice(
                    "The screen cannot be captured: the X display is not reachable or does not let this "
                    "process read its pixels; screen view and screenshots stay off until it does");
        },
        std::move(main));
}

}  // namespace ScreenView
