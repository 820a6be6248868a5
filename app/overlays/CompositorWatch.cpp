#include "app/overlays/CompositorWatch.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <QSocketNotifier>
#include <cstdlib>
#include <string>

namespace OverlayWindows {

struct CompositorWatch::Connection {
    xcb_connection_t* connection = nullptr;
    xcb_atom_t selection = XCB_NONE;
    std::uint8_t firstEvent = 0;  // XFixes' first event code
    ~Connection() {
        if (connection)
            xcb_disconnect(connection);
    }
};

std::unique_ptr<CompositorWatch> CompositorWatch::open(const char* displayName) {
    auto connection = std::make_unique<Connection>();
    int screenNumber = 0;
    connection->connection = xcb_connect(displayName, &screenNumber);
    xcb_connection_t* c = connection->connection;
    if (xcb_connection_has_error(c))
        return nullptr;
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present)
        return nullptr;
    connection->firstEvent = xfixes->first_event;
    // The version must be asked before any other XFixes request.
    std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 1, 0), nullptr));
    const std::string name = "_NET_WM_CM_S" + std::to_string(screenNumber);
    auto* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(name.size()), name.c_str()), nullptr);
    if (!atom)
        return nullptr;
    connection->selection = atom->atom;
    std::free(atom);
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return nullptr;
    // A new owner, and an owner's window or connection going (a compositor that exits or is killed).
    xcb_xfixes_select_selection_input(c, screens.data->root, connection->selection,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    std::unique_ptr<CompositorWatch> watch(new CompositorWatch(std::move(connection)));
    // Asked after the events were chosen, so that no change falls between the two.
    watch->check();
    return watch;
}

CompositorWatch::CompositorWatch(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {
    notifier_ = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(connection_->connection),
                                                  QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readEvents(); });
}

CompositorWatch::~CompositorWatch() = default;

void CompositorWatch::follow(std::function<void(bool)> onChange) {
    onChange_ = std::move(onChange);
}

void CompositorWatch::check() {
    auto* c = connection_->connection;
    // Each notice of a change is followed by asking for the owner, which is the newest answer: events
    // queued while waiting for the reply may be older or newer than it, so they are asked about again.
    bool ask = true;
    while (ask) {
        auto* reply =
            xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, connection_->selection), nullptr);
        // A broken connection answers nothing: keep the last answer.
        if (!reply) {
            notifier_->setEnabled(false);
            return;
        }
        update(reply->owner != XCB_NONE);
        std::free(reply);
        ask = drainEvents();
    }
}

bool CompositorWatch::drainEvents() {
    bool changed = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_->connection)) {
        if ((event->response_type & 0x7f) == connection_->firstEvent + XCB_XFIXES_SELECTION_NOTIFY)
            changed = true;
        std::free(event);
    }
    return changed;
}

void CompositorWatch::readEvents() {
    if (drainEvents())
        check();
    else if (xcb_connection_has_error(connection_->connection))
        notifier_->setEnabled(false);
}

void CompositorWatch::update(bool composited) {
    if (composited == composited_)
        return;
    composited_ = composited;
    if (onChange_)
        onChange_(composited);
}

}  // namespace OverlayWindows
