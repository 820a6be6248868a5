#include "app/overlays/CompositorWatch.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <string>

namespace OverlayWindows {

struct CompositorWatch::Connection {
    xcb_connection_t* connection = nullptr;
    xcb_atom_t selection = XCB_NONE;
    ~Connection() {
        if (connection)
            xcb_disconnect(connection);
    }
};

std::unique_ptr<CompositorWatch> CompositorWatch::open(const char* displayName) {
    auto connection = std::make_unique<Connection>();
    int screen = 0;
    connection->connection = xcb_connect(displayName, &screen);
    if (xcb_connection_has_error(connection->connection))
        return nullptr;
    const std::string name = "_NET_WM_CM_S" + std::to_string(screen);
    auto* atom = xcb_intern_atom_reply(
        connection->connection,
        xcb_intern_atom(connection->connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr);
    if (!atom)
        return nullptr;
    connection->selection = atom->atom;
    std::free(atom);
    std::unique_ptr<CompositorWatch> watch(new CompositorWatch(std::move(connection)));
    watch->check();
    return watch;
}

CompositorWatch::CompositorWatch(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { check(); });
}

CompositorWatch::~CompositorWatch() = default;

void CompositorWatch::follow(std::function<void(bool)> onChange, std::chrono::milliseconds interval) {
    onChange_ = std::move(onChange);
    timer_.start(interval);
}

void CompositorWatch::check() {
    auto* c = connection_->connection;
    auto* reply = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, connection_->selection), nullptr);
    // A broken connection answers nothing: keep the last answer.
    if (!reply)
        return;
    const bool composited = reply->owner != XCB_NONE;
    std::free(reply);
    if (composited == composited_)
        return;
    composited_ = composited;
    if (onChange_)
        onChange_(composited);
}

}  // namespace OverlayWindows
