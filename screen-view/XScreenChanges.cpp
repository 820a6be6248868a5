#include "screen-view/XScreenChanges.h"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

namespace ScreenView {

XScreenChanges::XScreenChanges(const XDisplayConnection& display) : display_(display) {
    if (!display.usable() || !display.has(&xcb_xfixes_id)) {
        return;
    }
    xcb_connection_t* connection = display.get();
    // Each extension answers only after its version was asked on this connection.
    const XReply<xcb_xfixes_query_version_reply_t> xfixes(
        xcb_xfixes_query_version_reply(connection, xcb_xfixes_query_version(connection, 4, 0), nullptr));
    if (!xfixes || xfixes->major_version < 2) {
        return;
    }
    xfixesFirstEvent_ = xcb_get_extension_data(connection, &xcb_xfixes_id)->first_event;
    xcb_xfixes_select_cursor_input(connection, display.root(), XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    cursorEvents_ = true;
    if (!display.has(&xcb_damage_id)) {
        return;
    }
    const XReply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(connection, xcb_damage_query_version(connection, 1, 1), nullptr));
    if (!damage) {
        return;
    }
    const std::uint32_t region = xcb_generate_id(connection);
    xcb_xfixes_create_region(connection, region, 0, nullptr);
    const std::uint32_t object = xcb_generate_id(connection);
    // NON_EMPTY: one event when damage first appears, not one per drawing; the areas are fetched by
    // subtracting them into our region at each look.
    xcb_generic_error_t* error = xcb_request_check(
        connection,
        xcb_damage_create_checked(connection, object, display.root(), XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY));
    if (error != nullptr) {
        std::free(error);
        xcb_xfixes_destroy_region(connection, region);
        return;
    }
    damage_ = object;
    region_ = region;
    damageFirstEvent_ = xcb_get_extension_data(connection, &xcb_damage_id)->first_event;
}

XScreenChanges::~XScreenChanges() {
    if (damage_ != 0 && display_.usable()) {
        xcb_damage_destroy(display_.get(), damage_);
        xcb_xfixes_destroy_region(display_.get(), region_);
        xcb_flush(display_.get());
    }
}

XScreenChanges::Changes XScreenChanges::collect() {
    Changes changes;
    if (!display_.usable()) {
        changes.everything = true;
        return changes;
    }
    xcb_connection_t* connection = display_.get();
    const XReply<xcb_query_pointer_reply_t> where(
        xcb_query_pointer_reply(connection, xcb_query_pointer(connection, display_.root()), nullptr));
    if (where && where->same_screen != 0) {
        changes.pointer = std::make_pair(int{where->root_x}, int{where->root_y});
    }
    // Past the reply, every notification the server sent before it is in the queue. They only say that
    // something happened: the damaged areas are asked for (a second round trip) only when there are some.
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
        const int type = event->response_type & 0x7f;
        if (cursorEvents_ && type == xfixesFirstEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
            changes.cursorImageChanged = true;
        } else if (damage_ != 0 && type == damageFirstEvent_ + XCB_DAMAGE_NOTIFY) {
            damageNotified_ = true;
        }
        std::free(event);
    }
    if (damage_ == 0) {
        changes.everything = true;
        return changes;
    }
    if (!damageNotified_) {
        return changes;
    }
    // Subtracting empties the damage, so the server notifies again at the next drawing.
    damageNotified_ = false;
    xcb_damage_subtract(connection, damage_, XCB_NONE, region_);
    const XReply<xcb_xfixes_fetch_region_reply_t> reply(
        xcb_xfixes_fetch_region_reply(connection, xcb_xfixes_fetch_region(connection, region_), nullptr));
    if (!reply) {
        changes.everything = true;
        return changes;
    }
    const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(reply.get());
    const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
    changes.areas.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        changes.areas.push_back(
            {rectangles[i].x, rectangles[i].y, rectangles[i].width, rectangles[i].height});
    }
    return changes;
}

}  // namespace ScreenView
