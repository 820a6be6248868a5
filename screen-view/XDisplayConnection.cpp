#include "screen-view/XDisplayConnection.h"

namespace ScreenView {

XDisplayConnection::XDisplayConnection(const std::string& displayName) {
    int screenNumber = 0;
    connection_ = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(connection_) != 0) {
        return;
    }
    for (auto it = xcb_setup_roots_iterator(xcb_get_setup(connection_)); it.rem > 0; xcb_screen_next(&it)) {
        if (screenNumber-- == 0) {
            screen_ = it.data;
            break;
        }
    }
}

XDisplayConnection::~XDisplayConnection() {
    xcb_disconnect(connection_);
}

bool XDisplayConnection::has(xcb_extension_t* extension) const {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
    return data != nullptr && data->present != 0;
}

}  // namespace ScreenView
