#include "injector/SystemScreenGeometry.h"

#include <xcb/randr.h>

#include "injector/XConnection.h"

namespace Injector {

struct SystemScreenGeometry::Impl {
    explicit Impl(const std::string& displayName);

    XConnection display;
    Rect screen;
    bool hasMonitors = false;
};

SystemScreenGeometry::Impl::Impl(const std::string& displayName) : display(displayName) {
    if (!display.usable()) {
        return;
    }
    screen =
        Rect{0, 0, double(display.screen()->width_in_pixels), double(display.screen()->height_in_pixels)};
    xcb_connection_t* connection = display.get();
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
    if (randr == nullptr || randr->present == 0) {
        return;
    }
    // Monitors came with RandR 1.5.
    const XReply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), nullptr));
    hasMonitors = version && (version->major_version > 1 || version->minor_version >= 5);
}

SystemScreenGeometry::SystemScreenGeometry(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

SystemScreenGeometry::~SystemScreenGeometry() = default;

std::optional<Point> SystemScreenGeometry::cursorLocation() {
    if (!impl_->display.usable()) {
        return std::nullopt;
    }
    xcb_connection_t* connection = impl_->display.get();
    const XReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, impl_->display.root()), nullptr));
    if (!pointer) {
        return std::nullopt;
    }
    return Point{double(pointer->root_x), double(pointer->root_y)};
}

std::vector<Rect> SystemScreenGeometry::displays() {
    if (!impl_->display.usable()) {
        return {};
    }
    if (!impl_->hasMonitors) {
        return {impl_->screen};
    }
    xcb_connection_t* connection = impl_->display.get();
    const XReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
        connection, xcb_randr_get_monitors(connection, impl_->display.root(), 1), nullptr));
    if (!reply) {
        return {};
    }
    std::vector<Rect> result;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        const Rect bounds{double(it.data->x), double(it.data->y), double(it.data->width),
                          double(it.data->height)};
        // The primary monitor is the main display, listed first.
        if (it.data->primary != 0) {
            result.insert(result.begin(), bounds);
        } else {
            result.push_back(bounds);
        }
    }
    return result;
}

}  // namespace Injector
