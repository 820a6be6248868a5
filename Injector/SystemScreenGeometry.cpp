#include "Injector/SystemScreenGeometry.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace Injector {
namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

}  // namespace

struct SystemScreenGeometry::Impl {
    explicit Impl(const std::string& displayName);
    ~Impl() {
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
    }
    bool usable() const {
        return connection != nullptr && xcb_connection_has_error(connection) == 0 && root != 0;
    }

    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_NONE;
    Rect screen;
    bool hasMonitors = false;
};

SystemScreenGeometry::Impl::Impl(const std::string& displayName) {
    int screenNumber = 0;
    connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem == 0) {
        return;
    }
    root = screens.data->root;
    screen = Rect{0, 0, double(screens.data->width_in_pixels), double(screens.data->height_in_pixels)};
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
    if (randr == nullptr || randr->present == 0) {
        return;
    }
    // Monitors came with RandR 1.5.
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), nullptr));
    hasMonitors = version && (version->major_version > 1 || version->minor_version >= 5);
}

SystemScreenGeometry::SystemScreenGeometry(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

SystemScreenGeometry::~SystemScreenGeometry() = default;

std::optional<Point> SystemScreenGeometry::cursorLocation() {
    if (!impl_->usable()) {
        return std::nullopt;
    }
    Reply<xcb_query_pointer_reply_t> pointer(xcb_query_pointer_reply(
        impl_->connection, xcb_query_pointer(impl_->connection, impl_->root), nullptr));
    if (!pointer) {
        return std::nullopt;
    }
    return Point{double(pointer->root_x), double(pointer->root_y)};
}

std::vector<Rect> SystemScreenGeometry::displays() {
    if (!impl_->usable()) {
        return {};
    }
    if (!impl_->hasMonitors) {
        return {impl_->screen};
    }
    Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
        impl_->connection, xcb_randr_get_monitors(impl_->connection, impl_->root, 1), nullptr));
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
