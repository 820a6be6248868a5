#pragma once
// A connection of its own to an X display, for the capture thread, the display list and the change
// notifier. Included only by .cpp files, so xcb stays out of the module's public headers.
//
// Thread: one thread at a time.
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace ScreenView {

struct FreeXReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using XReply = std::unique_ptr<T, FreeXReply>;

class XDisplayConnection {
  public:
    // Empty name: $DISPLAY. A display that cannot be reached gives an unusable connection.
    explicit XDisplayConnection(const std::string& displayName);
    ~XDisplayConnection();
    XDisplayConnection(const XDisplayConnection&) = delete;
    XDisplayConnection& operator=(const XDisplayConnection&) = delete;

    bool usable() const { return xcb_connection_has_error(connection_) == 0 && screen_ != nullptr; }
    xcb_connection_t* get() const { return connection_; }
    const xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_ != nullptr ? screen_->root : XCB_NONE; }
    // Whether the server offers the extension (queried once per connection by xcb).
    bool has(xcb_extension_t* extension) const;

  private:
    xcb_connection_t* connection_;
    const xcb_screen_t* screen_ = nullptr;
};

}  // namespace ScreenView
