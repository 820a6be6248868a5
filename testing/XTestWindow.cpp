#include "testing/XTestWindow.h"

#include <poll.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace testing_support {
namespace {

struct FreeReply {
    void operator()(void* p) const { std::free(p); }
};

}  // namespace

struct XTestWindow::Impl {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_NONE;
    xcb_window_t window = XCB_NONE;
    // The core keyboard mapping: `perKey` keysyms for each key code from the setup's minimum.
    std::vector<xcb_keysym_t> keysyms;
    int perKey = 0;
    std::vector<Event> events;

    ~Impl() {
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
    }

    void record(xcb_generic_event_t* generic);
    int minKeycode() const { return xcb_get_setup(connection)->min_keycode; }
    int maxKeycode() const { return xcb_get_setup(connection)->max_keycode; }
    void readKeymap() {
        const int count = maxKeycode() - minKeycode() + 1;
        std::unique_ptr<xcb_get_keyboard_mapping_reply_t, FreeReply> reply(xcb_get_keyboard_mapping_reply(
            connection,
            xcb_get_keyboard_mapping(connection, xcb_keycode_t(minKeycode()), std::uint8_t(count)), nullptr));
        keysyms.clear();
        perKey = 0;
        if (reply) {
            const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
            keysyms.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(reply.get()));
            perKey = reply->keysyms_per_keycode;
        }
    }
    std::uint32_t keysym(int code) const {
        const std::size_t index = std::size_t(code - minKeycode()) * std::size_t(perKey);
        return perKey > 0 && code >= minKeycode() && index < keysyms.size() ? keysyms[index] : 0;
    }
};

void XTestWindow::Impl::record(xcb_generic_event_t* generic) {
    Event event;
    switch (generic->response_type & 0x7F) {
        case XCB_BUTTON_PRESS:
        case XCB_BUTTON_RELEASE: {
            auto* button = reinterpret_cast<xcb_button_press_event_t*>(generic);
            event.kind = (generic->response_type & 0x7F) == XCB_BUTTON_PRESS ? Event::Kind::buttonPress
                                                                             : Event::Kind::buttonRelease;
            event.detail = button->detail;
            event.x = button->root_x;
            event.y = button->root_y;
            event.state = button->state;
            event.time = button->time;
            break;
        }
        case XCB_KEY_PRESS:
        case XCB_KEY_RELEASE: {
            auto* key = reinterpret_cast<xcb_key_press_event_t*>(generic);
            event.kind = (generic->response_type & 0x7F) == XCB_KEY_PRESS ? Event::Kind::keyPress
                                                                          : Event::Kind::keyRelease;
            event.detail = key->detail;
            event.keysym = keysym(key->detail);
            event.x = key->root_x;
            event.y = key->root_y;
            event.state = key->state;
            event.time = key->time;
            break;
        }
        case XCB_MOTION_NOTIFY: {
            auto* motion = reinterpret_cast<xcb_motion_notify_event_t*>(generic);
            event.kind = Event::Kind::motion;
            event.x = motion->root_x;
            event.y = motion->root_y;
            event.state = motion->state;
            event.time = motion->time;
            break;
        }
        default:
            return;
    }
    events.push_back(event);
}

XTestWindow::XTestWindow(const std::string& displayName) : impl_(std::make_unique<Impl>()) {
    impl_->connection = xcb_connect(displayName.c_str(), nullptr);
    xcb_connection_t* c = impl_->connection;
    if (xcb_connection_has_error(c) != 0) {
        throw std::runtime_error("test window: cannot connect to " + displayName);
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    impl_->root = screen->root;
    impl_->window = xcb_generate_id(c);
    const std::uint32_t values[] = {1,  // override redirect: no window manager decides where it goes
                                    XCB_EVENT_MASK_BUTTON_PRESS | XCB_EVENT_MASK_BUTTON_RELEASE |
                                        XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_KEY_RELEASE |
                                        XCB_EVENT_MASK_POINTER_MOTION | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
    xcb_create_window(c, XCB_COPY_FROM_PARENT, impl_->window, screen->root, 0, 0, screen->width_in_pixels,
                      screen->height_in_pixels, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_map_window(c, impl_->window);
    xcb_flush(c);

    // Input reaches the window only once it is viewable.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool mapped = false;
    while (!mapped && std::chrono::steady_clock::now() < deadline) {
        xcb_generic_event_t* event = xcb_poll_for_event(c);
        if (event == nullptr) {
            if (xcb_connection_has_error(c) != 0) {
                break;
            }
            pollfd waiting{xcb_get_file_descriptor(c), POLLIN, 0};
            poll(&waiting, 1, 100);
            continue;
        }
        mapped = (event->response_type & 0x7F) == XCB_MAP_NOTIFY;
        std::free(event);
    }
    if (!mapped) {
        throw std::runtime_error("test window: not mapped");
    }
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, impl_->window, XCB_CURRENT_TIME);

    impl_->readKeymap();
    takeEvents();
}

XTestWindow::~XTestWindow() = default;

std::vector<XTestWindow::Event> XTestWindow::takeEvents() {
    xcb_connection_t* c = impl_->connection;
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        impl_->record(event);
        std::free(event);
    }
    std::vector<Event> taken;
    taken.swap(impl_->events);
    return taken;
}

XTestWindow::Pointer XTestWindow::queryPointer() {
    xcb_connection_t* c = impl_->connection;
    std::unique_ptr<xcb_query_pointer_reply_t, FreeReply> reply(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, impl_->root), nullptr));
    if (!reply) {
        throw std::runtime_error("test window: no pointer");
    }
    return Pointer{reply->root_x, reply->root_y, reply->mask};
}

}  // namespace testing_support

namespace testing_support {

void XTestWindow::bindKey(int keycode, std::uint32_t keysym) {
    xcb_connection_t* c = impl_->connection;
    const xcb_keysym_t syms[2] = {keysym, 0};
    xcb_change_keyboard_mapping(c, 1, xcb_keycode_t(keycode), 2, syms);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    impl_->readKeymap();
}

std::optional<int> XTestWindow::keycodeOf(std::uint32_t keysym) const {
    for (int code = impl_->minKeycode(); code <= impl_->maxKeycode(); ++code) {
        if (impl_->keysym(code) == keysym) {
            return code;
        }
    }
    return std::nullopt;
}

std::optional<int> XTestWindow::unusedKeycode() const {
    for (int code = impl_->maxKeycode(); code >= impl_->minKeycode(); --code) {
        bool unused = true;
        for (int level = 0; level < impl_->perKey; ++level) {
            const std::size_t index =
                std::size_t(code - impl_->minKeycode()) * std::size_t(impl_->perKey) + level;
            unused = unused && (index >= impl_->keysyms.size() || impl_->keysyms[index] == 0);
        }
        if (unused) {
            return code;
        }
    }
    return std::nullopt;
}

}  // namespace testing_support
