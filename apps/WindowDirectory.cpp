#include "apps/WindowDirectory.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/res.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <unordered_set>

namespace Apps {

namespace {

enum AtomIndex {
    netClientList,
    netActiveWindow,
    netWmPid,
    gtkApplicationID,
    kdeDesktopFile,
    netWmState,
    netWmStateHidden,
    netWmWindowType,
    netWmWindowTypeNormal,
    netWmWindowTypeDialog,
    netWmName,
    utf8String,
    netSupportingWmCheck,
    netWmIcon,
    netWmDesktop,
    netCurrentDesktop,
    atomCount
};
constexpr std::array<const char*, atomCount> atomNames{"_NET_CLIENT_LIST",
                                                       "_NET_ACTIVE_WINDOW",
                                                       "_NET_WM_PID",
                                                       "_GTK_APPLICATION_ID",
                                                       "_KDE_NET_WM_DESKTOP_FILE",
                                                       "_NET_WM_STATE",
                                                       "_NET_WM_STATE_HIDDEN",
                                                       "_NET_WM_WINDOW_TYPE",
                                                       "_NET_WM_WINDOW_TYPE_NORMAL",
                                                       "_NET_WM_WINDOW_TYPE_DIALOG",
                                                       "_NET_WM_NAME",
                                                       "UTF8_STRING",
                                                       "_NET_SUPPORTING_WM_CHECK",
                                                       "_NET_WM_ICON",
                                                       "_NET_WM_DESKTOP",
                                                       "_NET_CURRENT_DESKTOP"};

// Properties longer than this are read in part: a window cannot make us allocate without bound.
constexpr std::uint32_t maxPropertyWords = 16384;

}  // namespace

struct WindowDirectory::Connection {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    std::array<xcb_atom_t, atomCount> atoms{};
    bool hasResourceExtension = false;

    explicit Connection(const std::string& displayName) {
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
        std::array<xcb_intern_atom_cookie_t, atomCount> cookies{};
        for (std::size_t i = 0; i < atomCount; ++i) {
            cookies[i] = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(atomNames[i])),
                                         atomNames[i]);
        }
        for (std::size_t i = 0; i < atomCount; ++i) {
            if (xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookies[i], nullptr)) {
                atoms[i] = reply->atom;
                std::free(reply);
            }
        }
        if (const xcb_query_extension_reply_t* extension = xcb_get_extension_data(connection, &xcb_res_id);
            extension != nullptr && extension->present) {
            if (xcb_res_query_version_reply_t* version = xcb_res_query_version_reply(
                    connection, xcb_res_query_version(connection, 1, 2), nullptr)) {
                hasResourceExtension =
                    version->server_major > 1 || (version->server_major == 1 && version->server_minor >= 2);
                std::free(version);
            }
        }
    }
    ~Connection() {
        if (connection != nullptr) {
            xcb_disconnect(connection);
        }
    }
    bool usable() const {
        return connection != nullptr && xcb_connection_has_error(connection) == 0 && root != 0;
    }

    xcb_get_property_cookie_t ask(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) const {
        return xcb_get_property(connection, 0, window, property, type, 0, maxPropertyWords);
    }
    // The reply's value as bytes of the given format (8 or 32); empty when absent or of another format.
    static std::vector<std::uint8_t> bytes(xcb_connection_t* c, xcb_get_property_cookie_t cookie,
                                           int format) {
        std::vector<std::uint8_t> out;
        if (xcb_get_property_reply_t* reply = xcb_get_property_reply(c, cookie, nullptr)) {
            if (reply->format == format) {
                const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(reply));
                out.assign(data, data + xcb_get_property_value_length(reply));  // in bytes
            }
            std::free(reply);
        }
        return out;
    }
    static std::vector<std::uint32_t> words(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
        std::vector<std::uint8_t> raw = bytes(c, cookie, 32);
        std::vector<std::uint32_t> out(raw.size() / 4);
        if (!out.empty()) {
            std::memcpy(out.data(), raw.data(), out.size() * 4);
        }
        return out;
    }
    static std::string text(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
        std::vector<std::uint8_t> raw = bytes(c, cookie, 8);
        std::string out(raw.begin(), raw.end());
        if (auto nul = out.find('\0'); nul != std::string::npos) {
            out.erase(nul);
        }
        return out;
    }

    std::vector<xcb_window_t> clientList() const {
        return words(connection, ask(root, atoms[netClientList], XCB_ATOM_WINDOW));
    }
    xcb_window_t activeWindow() const {
        std::vector<std::uint32_t> value =
            words(connection, ask(root, atoms[netActiveWindow], XCB_ATOM_WINDOW));
        return value.empty() ? 0 : value.front();
    }
    bool hasWindowManager() const {
        return !words(connection, ask(root, atoms[netSupportingWmCheck], XCB_ATOM_WINDOW)).empty();
    }
    std::optional<std::uint32_t> cardinal(xcb_window_t window, xcb_atom_t property) const {
        std::vector<std::uint32_t> value = words(connection, ask(window, property, XCB_ATOM_CARDINAL));
        return value.empty() ? std::nullopt : std::optional(value.front());
    }
    // The server's time now, as a window manager judges a request by it: the time stamp of a property
    // change on a window of our own. XCB_CURRENT_TIME when the server does not tell in time.
    xcb_timestamp_t serverTime() {
        if (timeWindow == 0) {
            timeWindow = xcb_generate_id(connection);
            const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_create_window(connection, 0, timeWindow, root, -1, -1, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                              XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
        }
        xcb_change_property(connection, XCB_PROP_MODE_APPEND, timeWindow, atoms[netWmName], XCB_ATOM_STRING, 8, 0,
                            nullptr);
        xcb_flush(connection);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (std::chrono::steady_clock::now() < deadline && xcb_connection_has_error(connection) == 0) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
                const bool ours = (event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY &&
                                  reinterpret_cast<xcb_property_notify_event_t*>(event)->window == timeWindow;
                const xcb_timestamp_t time =
                    ours ? reinterpret_cast<xcb_property_notify_event_t*>(event)->time : XCB_CURRENT_TIME;
                std::free(event);
                if (ours) {
                    return time;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return XCB_CURRENT_TIME;
    }

    xcb_window_t timeWindow = 0;
};

WindowDirectory::WindowDirectory(const std::string& displayName)
    : displayName_(displayName), query_(std::make_unique<Connection>(displayName)) {}

WindowDirectory::~WindowDirectory() {
    unwatch();
}

bool WindowDirectory::isConnected() const {
    return query_->usable();
}

std::vector<ClientWindow> WindowDirectory::clients() {
    std::lock_guard lock(mutex_);
    Connection& c = *query_;
    if (!c.usable()) {
        return {};
    }
    const std::vector<xcb_window_t> windows = c.clientList();
    const xcb_window_t active = c.activeWindow();
    struct Cookies {
        xcb_get_property_cookie_t pid, wmClass, appID, desktop, state, type, name;
    };
    std::vector<Cookies> cookies;
    cookies.reserve(windows.size());
    // All requests first, then all replies: one round trip for the whole list.
    for (xcb_window_t window : windows) {
        cookies.push_back(Cookies{c.ask(window, c.atoms[netWmPid], XCB_ATOM_CARDINAL),
                                  c.ask(window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING),
                                  c.ask(window, c.atoms[gtkApplicationID], XCB_GET_PROPERTY_TYPE_ANY),
                                  c.ask(window, c.atoms[kdeDesktopFile], XCB_GET_PROPERTY_TYPE_ANY),
                                  c.ask(window, c.atoms[netWmState], XCB_ATOM_ATOM),
                                  c.ask(window, c.atoms[netWmWindowType], XCB_ATOM_ATOM),
                                  c.ask(window, c.atoms[netWmName], XCB_GET_PROPERTY_TYPE_ANY)});
    }
    std::vector<ClientWindow> out;
    std::vector<std::size_t> withoutPID;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        ClientWindow client;
        client.window = windows[i];
        client.isActive = windows[i] == active;
        if (std::vector<std::uint32_t> pid = Connection::words(c.connection, cookies[i].pid);
            !pid.empty() && pid.front() > 0 && pid.front() < 0x7FFFFFFF) {
            client.processID = static_cast<pid_t>(pid.front());
        } else {
            withoutPID.push_back(out.size());
        }
        std::vector<std::uint8_t> wmClass = Connection::bytes(c.connection, cookies[i].wmClass, 8);
        std::string classes(wmClass.begin(), wmClass.end());
        const std::size_t nul = classes.find('\0');
        client.instanceName = classes.substr(0, nul);
        if (nul != std::string::npos) {
            client.className = classes.substr(nul + 1);
            if (auto end = client.className.find('\0'); end != std::string::npos) {
                client.className.erase(end);
            }
        }
        client.applicationID = Connection::text(c.connection, cookies[i].appID);
        client.desktopFile = Connection::text(c.connection, cookies[i].desktop);
        for (std::uint32_t atom : Connection::words(c.connection, cookies[i].state)) {
            client.isHidden = client.isHidden || atom == c.atoms[netWmStateHidden];
        }
        const std::vector<std::uint32_t> types = Connection::words(c.connection, cookies[i].type);
        client.isNormal =
            types.empty() || std::any_of(types.begin(), types.end(), [&](std::uint32_t atom) {
                return atom == c.atoms[netWmWindowTypeNormal] || atom == c.atoms[netWmWindowTypeDialog];
            });
        client.title = Connection::text(c.connection, cookies[i].name);
        out.push_back(std::move(client));
    }
    // Windows that do not say their process (older toolkits) are asked of the server, which knows the
    // process of each local client (X-Resource 1.2).
    if (!withoutPID.empty() && c.hasResourceExtension) {
        std::vector<xcb_res_query_client_ids_cookie_t> pidCookies;
        for (std::size_t index : withoutPID) {
            const xcb_res_client_id_spec_t spec{out[index].window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            pidCookies.push_back(xcb_res_query_client_ids(c.connection, 1, &spec));
        }
        for (std::size_t k = 0; k < withoutPID.size(); ++k) {
            xcb_res_query_client_ids_reply_t* reply =
                xcb_res_query_client_ids_reply(c.connection, pidCookies[k], nullptr);
            if (reply == nullptr) {
                continue;
            }
            for (auto ids = xcb_res_query_client_ids_ids_iterator(reply); ids.rem > 0;
                 xcb_res_client_id_value_next(&ids)) {
                if ((ids.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) != 0 &&
                    xcb_res_client_id_value_value_length(ids.data) == 1) {
                    const std::uint32_t pid = *xcb_res_client_id_value_value(ids.data);
                    if (pid > 0 && pid < 0x7FFFFFFF) {
                        out[withoutPID[k]].processID = static_cast<pid_t>(pid);
                    }
                }
            }
            std::free(reply);
        }
    }
    return out;
}

bool WindowDirectory::activate(const std::vector<std::uint32_t>& windows, double timeout) {
    if (windows.empty()) {
        return false;
    }
    const xcb_window_t target = windows.front();
    {
        std::lock_guard lock(mutex_);
        Connection& c = *query_;
        if (!c.usable()) {
            return false;
        }
        const std::vector<xcb_window_t> listed = c.clientList();
        if (std::find(listed.begin(), listed.end(), target) == listed.end() && c.hasWindowManager()) {
            return false;  // gone meanwhile
        }
        const bool managed = c.hasWindowManager();
        const auto sendToManager = [&](xcb_window_t window, xcb_atom_t type, std::uint32_t first,
                                       std::uint32_t second) {
            xcb_client_message_event_t event{};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = window;
            event.type = type;
            event.data.data32[0] = first;
            event.data.data32[1] = second;
            xcb_send_event(c.connection, 0, c.root,
                           XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                           reinterpret_cast<const char*>(&event));
        };
        // Managers weigh an activation by its time against the user's last input, and one without a
        // time may be refused as stealing the focus.
        const xcb_timestamp_t now = managed ? c.serverTime() : XCB_CURRENT_TIME;
        if (managed) {
            // A window on another virtual desktop is only activated once its desktop is shown.
            const std::optional<std::uint32_t> desktop = c.cardinal(target, c.atoms[netWmDesktop]);
            const std::optional<std::uint32_t> current = c.cardinal(c.root, c.atoms[netCurrentDesktop]);
            if (desktop && *desktop != 0xFFFFFFFF && current != desktop) {
                sendToManager(c.root, c.atoms[netCurrentDesktop], *desktop, now);
            }
        }
        // Mapping an iconic window asks the manager to restore it (ICCCM), before it is activated.
        xcb_map_window(c.connection, target);
        if (managed) {
            // Source 2: the request comes from a pager-like tool acting for the user.
            sendToManager(target, c.atoms[netActiveWindow], 2, now);
        } else {
            const std::uint32_t above = XCB_STACK_MODE_ABOVE;
            xcb_configure_window(c.connection, target, XCB_CONFIG_WINDOW_STACK_MODE, &above);
            xcb_set_input_focus(c.connection, XCB_INPUT_FOCUS_POINTER_ROOT, target, XCB_CURRENT_TIME);
        }
        xcb_flush(c.connection);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    while (true) {
        {
            std::lock_guard lock(mutex_);
            Connection& c = *query_;
            if (!c.usable()) {
                return false;
            }
            if (c.hasWindowManager()) {
                const xcb_window_t active = c.activeWindow();
                if (std::find(windows.begin(), windows.end(), active) != windows.end()) {
                    return true;
                }
            } else if (xcb_get_input_focus_reply_t* focus = xcb_get_input_focus_reply(
                           c.connection, xcb_get_input_focus(c.connection), nullptr)) {
                const bool focused = focus->focus == target;
                std::free(focus);
                if (focused) {
                    return true;
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<IconBitmap> WindowDirectory::windowIcon(const std::vector<std::uint32_t>& windows, int size) {
    constexpr std::uint32_t maxIconWords = 1u << 20;  // 4 MiB: a 1024-pixel image and a few smaller ones
    std::lock_guard lock(mutex_);
    Connection& c = *query_;
    if (!c.usable()) {
        return std::nullopt;
    }
    for (std::uint32_t window : windows) {
        std::vector<std::uint32_t> words;
        if (xcb_get_property_reply_t* reply =
                xcb_get_property_reply(c.connection,
                                       xcb_get_property(c.connection, 0, window, c.atoms[netWmIcon],
                                                        XCB_ATOM_CARDINAL, 0, maxIconWords),
                                       nullptr)) {
            if (reply->format == 32) {
                const int length = xcb_get_property_value_length(reply) / 4;
                const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
                words.assign(data, data + length);
            }
            std::free(reply);
        }
        // Images follow each other as width, height, then width x height ARGB values (straight alpha).
        std::optional<std::pair<std::size_t, std::uint32_t>> best;  // offset, side
        for (std::size_t i = 0; i + 2 <= words.size();) {
            const std::uint32_t width = words[i];
            const std::uint32_t height = words[i + 1];
            if (width == 0 || height == 0 || width > 1024 || height > 1024 ||
                words.size() - i - 2 < static_cast<std::size_t>(width) * height) {
                break;
            }
            const std::uint32_t side = std::max(width, height);
            const bool better =
                !best || (side >= static_cast<std::uint32_t>(size)
                              ? best->second < static_cast<std::uint32_t>(size) || side < best->second
                              : side > best->second && best->second < static_cast<std::uint32_t>(size));
            if (better) {
                best = std::make_pair(i, side);
            }
            i += 2 + static_cast<std::size_t>(width) * height;
        }
        if (!best) {
            continue;
        }
        IconBitmap image;
        image.width = static_cast<int>(words[best->first]);
        image.height = static_cast<int>(words[best->first + 1]);
        image.pixels.resize(static_cast<std::size_t>(image.width) * image.height * 4);
        for (std::size_t p = 0; p < static_cast<std::size_t>(image.width) * image.height; ++p) {
            const std::uint32_t argb = words[best->first + 2 + p];
            const unsigned alpha = argb >> 24;
            image.pixels[p * 4 + 0] = static_cast<std::uint8_t>(argb >> 16);
            image.pixels[p * 4 + 1] = static_cast<std::uint8_t>(argb >> 8);
            image.pixels[p * 4 + 2] = static_cast<std::uint8_t>(argb);
            image.pixels[p * 4 + 3] = static_cast<std::uint8_t>(alpha);
        }
        return image;
    }
    return std::nullopt;
}

void WindowDirectory::watch(std::function<void()> changed) {
    unwatch();
    std::lock_guard lock(watchMutex_);
    stopFD_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFD_ < 0) {
        return;
    }
    changed_ = std::make_shared<std::function<void()>>(std::move(changed));
    // Returns once the server has taken the event selection: no change after watch() goes unseen.
    std::promise<void> selected;
    std::future<void> ready = selected.get_future();
    thread_ = std::thread(
        [this, fd = stopFD_, selected = std::move(selected)]() mutable { eventLoop(fd, selected); });
    ready.wait();
}

void WindowDirectory::unwatch() {
    std::lock_guard lock(watchMutex_);
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(stopFD_, &one, sizeof one);
        thread_.join();
    }
    if (stopFD_ >= 0) {
        ::close(stopFD_);
        stopFD_ = -1;
    }
    changed_.reset();
}

void WindowDirectory::eventLoop(int stopFD, std::promise<void>& selectedEvents) {
    const std::shared_ptr<std::function<void()>> changed = changed_;
    Connection c(displayName_);
    if (!c.usable()) {
        selectedEvents.set_value();
        return;
    }
    // Without a window manager there is no client list to follow, so root property changes are all.
    const std::uint32_t rootMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(c.connection, c.root, XCB_CW_EVENT_MASK, &rootMask);
    std::unordered_set<xcb_window_t> selected;
    const auto selectClients = [&] {
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        std::unordered_set<xcb_window_t> now;
        for (xcb_window_t window : c.clientList()) {
            now.insert(window);
            if (!selected.contains(window)) {
                xcb_change_window_attributes(c.connection, window, XCB_CW_EVENT_MASK, &mask);
            }
        }
        selected = std::move(now);
        xcb_flush(c.connection);
    };
    selectClients();  // its list request answers only after the root's selection was made
    selectedEvents.set_value();
    while (true) {
        pollfd fds[2] = {{xcb_get_file_descriptor(c.connection), POLLIN, 0}, {stopFD, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        bool relevant = false;
        bool listChanged = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(c.connection)) {
            const std::uint8_t type = event->response_type & 0x7F;
            if (type == XCB_PROPERTY_NOTIFY) {
                const auto* property = reinterpret_cast<xcb_property_notify_event_t*>(event);
                if (property->window == c.root) {
                    listChanged = listChanged || property->atom == c.atoms[netClientList];
                    relevant = relevant || property->atom == c.atoms[netClientList] ||
                               property->atom == c.atoms[netActiveWindow];
                } else {
                    relevant = relevant || property->atom == c.atoms[netWmState] ||
                               property->atom == c.atoms[netWmPid] || property->atom == XCB_ATOM_WM_CLASS;
                }
            }
            std::free(event);
        }
        if (xcb_connection_has_error(c.connection) != 0) {
            return;
        }
        if (listChanged) {
            selectClients();
        }
        if (relevant && changed && *changed) {
            (*changed)();
        }
    }
}

}  // namespace Apps
