#include "injector/XConnection.h"

namespace Injector {

XConnection::XConnection(const std::string& displayName) {
    int screenNumber = 0;
    // xcb_connect never returns null: a failed connection is an object in the error state.
    connection_ = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection_) != 0) {
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) {
        xcb_screen_next(&screens);
    }
    if (screens.rem > 0) {
        screen_ = screens.data;
    }
}

XConnection::~XConnection() {
    xcb_disconnect(connection_);
}

std::vector<xcb_window_t> XConnection::rootChildren() const {
    XReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root()), nullptr));
    if (!tree) {
        return {};
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return {children, children + tree->length};
}

}  // namespace Injector
