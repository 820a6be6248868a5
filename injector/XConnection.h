#pragma once
// A connection of its own to an X display and the screen its name chooses, shared by the system
// poster and geometry. Included only by their .cpp files, so xcb stays out of the module's headers.
//
// Thread: one thread at a time.
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace Injector {

// Frees an xcb reply.
struct FreeXReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using XReply = std::unique_ptr<T, FreeXReply>;

class XConnection {
  public:
    // Connects to the named display (empty: $DISPLAY). A display that cannot be reached, or whose
    // named screen does not exist, gives an unusable connection; nothing is thrown.
    explicit XConnection(const std::string& displayName);
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    // Connected, not broken since, and the screen exists.
    bool usable() const { return xcb_connection_has_error(connection_) == 0 && screen_ != nullptr; }
    xcb_connection_t* get() const { return connection_; }
    // The chosen screen, or null; valid as long as the connection.
    const xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_ != nullptr ? screen_->root : XCB_NONE; }
    // The root window's children, bottom to top; none when the server does not answer. QueryTree counts
    // them in 16 bits, which 65,536 windows overflow and which would then leave out the top-most ones;
    // its reply's length, a 32-bit word for each child, does not.
    std::vector<xcb_window_t> rootChildren() const;

  private:
    xcb_connection_t* connection_;
    const xcb_screen_t* screen_ = nullptr;
};

}  // namespace Injector
