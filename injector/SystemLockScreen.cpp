#include "injector/SystemLockScreen.h"

#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>
#include <xcb/dpms.h>
#include <xcb/res.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "injector/KeyVocabulary.h"
#include "injector/ScreenLockerProcesses.h"
#include "injector/XConnection.h"
#include "injector/XkbServerKeymap.h"
#include "platform/DBus.h"
#include "protocol/messages/Types.h"

namespace Injector {
namespace {

namespace dbus = platform::dbus;
constexpr std::chrono::milliseconds busTimeout{500};

// Follows, on a connection and a thread of its own, the root window's children and the focus events that
// keyboard grabs and releases bring, so that no event is missed while nobody asks. A grab for the very
// window that has the focus moves nothing and goes unseen: such a locker is not confirmed.
class GrabWatcher {
  public:
    explicit GrabWatcher(const std::string& displayName) : connection_(displayName) {
        if (!connection_.usable()) {
            return;
        }
        xcb_connection_t* c = connection_.get();
        const std::uint32_t events[] = {XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_FOCUS_CHANGE};
        xcb_change_window_attributes(c, connection_.root(), XCB_CW_EVENT_MASK, events);
        // A grab moves the focus from wherever it is to the grab window: the root window hears of it when
        // either is the root window or the focus is on none or the pointer's root; otherwise the top-level
        // windows holding the two do. The ones there already are followed from now on, the others as they
        // come.
        for (const xcb_window_t child : connection_.rootChildren()) {
            followFocus(child);
        }
        // The markers that tell the thread's progress go to this unmapped window of ours.
        marker_ = xcb_generate_id(c);
        xcb_create_window(c, 0, marker_, connection_.root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        // Watching has begun once the server has taken the selection.
        XReply<xcb_get_input_focus_reply_t> sync(
            xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        if (!sync) {
            return;
        }
        ended_ = false;
        thread_ = std::thread([this] { run(); });
    }
    ~GrabWatcher() {
        if (thread_.joinable()) {
            {
                std::lock_guard lock(mutex_);
                quitting_ = true;
            }
            sendMarker(0);
            thread_.join();
        }
    }
    GrabWatcher(const GrabWatcher&) = delete;
    GrabWatcher& operator=(const GrabWatcher&) = delete;

    // As of now: every event the server sent before this call has been taken into account. With
    // `mappedByHolder`, whether the window appeared while a grab stood that still does (see
    // KeyboardGrabWatch); otherwise whether the keyboard was grabbed after it appeared.
    bool grabSeen(xcb_window_t window, bool mappedByHolder) {
        std::unique_lock lock(mutex_);
        if (ended_) {
            return false;
        }
        const std::uint32_t token = ++sent_;
        lock.unlock();
        sendMarker(token);
        lock.lock();
        const bool caughtUp =
            changed_.wait_for(lock, std::chrono::milliseconds(500), [&] { return ended_ || seen_ >= token; });
        return caughtUp && !ended_ &&
               (mappedByHolder ? watch_.appearedWhileGrabbed(window) : watch_.grabbedSince(window));
    }

  private:
    // Focus events of a top-level window; one destroyed meanwhile gives an error event, which is ignored.
    void followFocus(xcb_window_t window) {
        const std::uint32_t focus[] = {XCB_EVENT_MASK_FOCUS_CHANGE};
        xcb_change_window_attributes(connection_.get(), window, XCB_CW_EVENT_MASK, focus);
    }

    void sendMarker(std::uint32_t token) {
        xcb_client_message_event_t marker{};
        marker.response_type = XCB_CLIENT_MESSAGE;
        marker.format = 32;
        marker.window = marker_;
        marker.type = XCB_ATOM_NONE;
        marker.data.data32[0] = token;
        // With no event mask, the event goes to the window's creator: this connection.
        xcb_send_event(connection_.get(), 0, marker_, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&marker));
        xcb_flush(connection_.get());
    }

    void run() {
        xcb_connection_t* c = connection_.get();
        const xcb_window_t root = connection_.root();
        while (true) {
            XReply<xcb_generic_event_t> event(xcb_wait_for_event(c));
            std::lock_guard lock(mutex_);
            if (!event) {
                ended_ = true;
                changed_.notify_all();
                return;
            }
            switch (event->response_type & 0x7f) {
                case XCB_CREATE_NOTIFY: {
                    const auto* created = reinterpret_cast<const xcb_create_notify_event_t*>(event.get());
                    if (created->parent == root) {
                        watch_.appeared(created->window);
                        followFocus(created->window);
                        xcb_flush(c);
                    }
                    break;
                }
                case XCB_DESTROY_NOTIFY:
                    watch_.disappeared(
                        reinterpret_cast<const xcb_destroy_notify_event_t*>(event.get())->window);
                    break;
                case XCB_REPARENT_NOTIFY: {
                    const auto* moved = reinterpret_cast<const xcb_reparent_notify_event_t*>(event.get());
                    if (moved->parent == root) {
                        watch_.appeared(moved->window);
                        followFocus(moved->window);
                        xcb_flush(c);
                    } else {
                        watch_.disappeared(moved->window);
                    }
                    break;
                }
                case XCB_FOCUS_IN:
                case XCB_FOCUS_OUT: {
                    const std::uint8_t mode =
                        reinterpret_cast<const xcb_focus_in_event_t*>(event.get())->mode;
                    if (mode == XCB_NOTIFY_MODE_GRAB) {
                        watch_.grabbed();
                    } else if (mode == XCB_NOTIFY_MODE_UNGRAB) {
                        watch_.released();
                    }
                    break;
                }
                case XCB_CLIENT_MESSAGE: {
                    const auto* marker = reinterpret_cast<const xcb_client_message_event_t*>(event.get());
                    if (marker->window != marker_ || (event->response_type & 0x80) == 0) {
                        break;
                    }
                    // Any client may send to the window: only markers this side sent count.
                    const std::uint32_t token = marker->data.data32[0];
                    if (token == 0 && quitting_) {
                        ended_ = true;
                        changed_.notify_all();
                        return;
                    }
                    if (token == 0 || token > sent_) {
                        break;
                    }
                    seen_ = std::max(seen_, token);
                    changed_.notify_all();
                    break;
                }
                default:
                    break;  // errors about windows gone before their selection, and the rest
            }
        }
    }

    XConnection connection_;
    xcb_window_t marker_ = XCB_NONE;
    std::mutex mutex_;
    std::condition_variable changed_;
    KeyboardGrabWatch watch_;
    std::uint32_t sent_ = 0;
    std::uint32_t seen_ = 0;
    bool ended_ = true;
    bool quitting_ = false;
    std::thread thread_;
};

class LinuxProbe final : public LockScreenProbe {
  public:
    LinuxProbe(const std::string& displayName, LockSessionLookup sessions)
        : display_(displayName), grabs_(displayName), sessions_(std::move(sessions)) {
        const char* fromEnvironment = std::getenv("DISPLAY");
        displayName_ = !displayName.empty() ? displayName : fromEnvironment != nullptr ? fromEnvironment : "";
        if (display_.usable()) {
            const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(display_.get(), &xcb_test_id);
            hasXTest_ = xtest != nullptr && xtest->present != 0;
            const xcb_query_extension_reply_t* dpms = xcb_get_extension_data(display_.get(), &xcb_dpms_id);
            hasDPMS_ = dpms != nullptr && dpms->present != 0;
            const xcb_query_extension_reply_t* res = xcb_get_extension_data(display_.get(), &xcb_res_id);
            if (res != nullptr && res->present != 0) {
                xcb_connection_t* c = display_.get();
                XReply<xcb_res_query_version_reply_t> version(
                    xcb_res_query_version_reply(c, xcb_res_query_version(c, 1, 2), nullptr));
                hasXRes_ = version && (version->server_major > 1 ||
                                       (version->server_major == 1 && version->server_minor >= 2));
            }
        }
    }

    bool isLocked() override {
        std::lock_guard lock(mutex_);
        return lockedNow(logindSession());
    }

    bool displayIsAsleep() override {
        std::lock_guard lock(mutex_);
        if (!hasDPMS_ || !display_.usable()) {
            return false;
        }
        xcb_connection_t* c = display_.get();
        XReply<xcb_dpms_info_reply_t> info(xcb_dpms_info_reply(c, xcb_dpms_info(c), nullptr));
        return info && info->state != 0 && info->power_level != XCB_DPMS_DPMS_MODE_ON;
    }

    void wake() override {
        std::lock_guard lock(mutex_);
        if (display_.usable()) {
            xcb_connection_t* c = display_.get();
            xcb_force_screen_saver(c, XCB_SCREEN_SAVER_RESET);
            if (hasDPMS_) {
                xcb_dpms_force_level(c, XCB_DPMS_DPMS_MODE_ON);
            }
            xcb_flush(c);
        }
        if (dbus::Connection* bus = sessionBus()) {
            bus->call({"org.freedesktop.ScreenSaver",
                       "/org/freedesktop/ScreenSaver",
                       "org.freedesktop.ScreenSaver",
                       "SimulateUserActivity",
                       {}},
                      busTimeout);
        }
    }

    bool accessibilityTrusted() override { return display_.usable() && hasXTest_; }

    LockScreenSession session() override {
        std::lock_guard lock(mutex_);
        LockScreenSession session;
        const std::optional<dbus::PropertyMap> logind = logindSession();
        session.locked = lockedNow(logind);
        if (logind) {
            const dbus::Value* active = dbus::find(*logind, "Active");
            session.onConsole = active != nullptr && active->boolean() == true;
            // The session was found as this process's own, so it is this user's.
            session.userID = getuid();
        }
        if (keyboardGrabbedByAnother()) {
            if (const std::optional<TopWindow> top = topOverrideRedirect()) {
                session.secureInputPID = top->owner;
                // xscreensaver's dialog is mapped by another process than the one holding the keyboard,
                // after it took the keyboard; whether it is that process's own is the probe's question.
                const bool dialog = commandName(top->owner) == screenSaverDialog;
                // The tree was read first: every grab and release before it has reached the watcher.
                if (!grabs_.grabSeen(top->window, dialog)) {
                    session.secureInputDoubt =
                        dialog ? "the keyboard was not seen held since before its dialog appeared"
                               : "the keyboard was not seen grabbed after its window appeared";
                }
            }
        }
        return session;
    }

    uid_t currentUserID() override { return getuid(); }

    std::optional<pid_t> loginWindowProcess(uid_t user) override {
        std::lock_guard lock(mutex_);
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
            const std::string name = entry.path().filename().string();
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const pid_t pid = static_cast<pid_t>(std::atol(name.c_str()));
            // The name alone rules out nearly every process; this runs before every key press.
            if (!isKnownScreenLocker(commandName(pid))) {
                continue;
            }
            const std::optional<ProbedProcess> info = processInfo(pid);
            if (info && info->isLoginWindow && info->userID == user && info->isSystemLoginWindow) {
                return pid;
            }
        }
        return std::nullopt;
    }

    // A locker counts as this session's own only when it runs in our logind session and on our display:
    // a real locker elsewhere (another X server, another session) must not vouch for a grab here.
    std::optional<ProbedProcess> processInfo(pid_t pid) override {
        std::lock_guard lock(mutex_);
        pid_t daemon = 0;
        std::optional<ProbedProcess> process = programInfo(pid, &daemon);
        if (process && process->isSystemLoginWindow) {
            const std::optional<std::string> own =
                sessions_.ownSession ? sessions_.ownSession() : std::nullopt;
            const auto ours = [&](pid_t member) {
                const std::optional<std::string> its =
                    sessions_.sessionOf ? sessions_.sessionOf(member) : std::nullopt;
                return own && its && *own == *its;
            };
            process->isSystemLoginWindow = ours(pid) && (daemon == 0 || ours(daemon));
        }
        return process;
    }

    // No accessibility layer is asked: lock screens rarely expose their entry to one, and a named element
    // would add nothing that could be checked the way the keyboard grab is.
    Focus focusedElement(std::optional<pid_t>) override { return std::monostate{}; }
    std::optional<std::string> stringAttribute(std::uint64_t, std::string_view) override {
        return std::nullopt;
    }
    std::optional<int> characterCount(std::uint64_t) override { return std::nullopt; }
    bool secureInputEnabled() override {
        std::lock_guard lock(mutex_);
        return keyboardGrabbedByAnother();
    }
    SetValueResult setValue(std::uint64_t, std::string_view) override { return {-25205, std::nullopt}; }
    void pause(double seconds) override {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }

  private:
    dbus::Connection* sessionBus() { return bus(session_, dbus::Connection::Bus::session); }
    dbus::Connection* systemBus() { return bus(system_, dbus::Connection::Bus::system); }
    dbus::Connection* bus(std::unique_ptr<dbus::Connection>& connection, dbus::Connection::Bus which) {
        if (connection && connection->isOpen()) {
            return connection.get();
        }
        auto opened = dbus::Connection::open(which);
        connection = opened ? std::move(*opened) : nullptr;
        return connection.get();
    }

    // The name, user, and whether it is a known locker's system program on our display; the session is
    // left to the caller. xscreensaver's dialog is judged with the daemon that started it, whose number
    // goes to `daemon`.
    std::optional<ProbedProcess> programInfo(pid_t pid, pid_t* daemon = nullptr) {
        const std::string comm = commandName(pid);
        const std::optional<uid_t> user = realUserOf(pid);
        if (comm.empty() || !user) {
            return std::nullopt;
        }
        const std::optional<LockScreenFieldClearing> clearing = fieldClearingOf(comm);
        ProbedProcess process{comm, *user, clearing.has_value(), false, std::nullopt};
        process.fieldClearing = clearing.value_or(LockScreenFieldClearing::selectAllThenDelete);
        process.readsKeysLate = readsKeysLate(comm);
        if (comm == screenSaverDialog) {
            pid_t starter = 0;
            process.doubt = screenSaverDialogDoubt(pid, displayName_, starter);
            process.isSystemLoginWindow = !process.doubt;
            if (daemon != nullptr) {
                *daemon = starter;
            }
        } else if (process.isLoginWindow && isSystemProgram(pid, comm)) {
            const std::optional<std::string> display = displayOf(pid);
            process.isSystemLoginWindow =
                display && !displayName_.empty() && sameXDisplay(*display, displayName_);
            if (process.isSystemLoginWindow) {
                process.doubt = tamperingOf(pid);
                process.isSystemLoginWindow = !process.doubt;
            }
        }
        return process;
    }

    std::optional<dbus::PropertyMap> logindSession() {
        dbus::Connection* bus = systemBus();
        if (bus == nullptr) {
            return std::nullopt;
        }
        if (sessionPath_.empty()) {
            const std::optional<std::string> id =
                sessions_.ownSession ? sessions_.ownSession() : std::nullopt;
            auto reply = id && !id->empty() ? bus->call({"org.freedesktop.login1",
                                                         "/org/freedesktop/login1",
                                                         "org.freedesktop.login1.Manager",
                                                         "GetSession",
                                                         {*id}},
                                                        busTimeout)
                                            : bus->call({"org.freedesktop.login1",
                                                         "/org/freedesktop/login1",
                                                         "org.freedesktop.login1.Manager",
                                                         "GetSessionByPID",
                                                         {static_cast<std::uint32_t>(getpid())}},
                                                        busTimeout);
            if (!reply || reply->argument(0).objectPath() == nullptr) {
                return std::nullopt;
            }
            sessionPath_ = reply->argument(0).objectPath()->path;
        }
        auto properties = bus->allProperties("org.freedesktop.login1", sessionPath_,
                                             "org.freedesktop.login1.Session", busTimeout);
        if (!properties) {
            return std::nullopt;
        }
        return std::move(*properties);
    }

    // logind's LockedHint of our own session where the desktop sets it; otherwise a known locker of this
    // user on our display showing a window while another client holds the keyboard. Whether that locker
    // is this session's own is left to the examination: a screen it covers is locked even when nothing
    // may be typed into it. The locker's window need not be on top: whatever is drawn over it, in any
    // number of windows (a notification, an on-screen display, a window of ours, a client's flood of
    // tiny ones out of sight), leaves the screen as locked as it was, and only the locker's going (its
    // window with it), the keyboard let go, or xscreensaver's status leaving LOCK ends the lock.
    bool lockedNow(const std::optional<dbus::PropertyMap>& logind) {
        if (logind) {
            if (const dbus::Value* hint = dbus::find(*logind, "LockedHint");
                hint != nullptr && hint->boolean() == true) {
                return true;
            }
        }
        // The windows first: the grab we try costs the focused client a focus-out and a focus-in when it
        // succeeds, which the poll must not cause every few seconds on an unlocked desktop. The clients
        // owning a window on the root window are named by one request and looked at once each, and only
        // a locker's windows are asked whether they show: however many windows there are, and wherever
        // they lie, the cost follows the number of clients.
        if (!display_.usable() || !hasXRes_) {
            return false;
        }
        const std::vector<xcb_window_t> children = display_.rootChildren();
        const ClientProcesses processes = clientProcesses();
        std::unordered_map<pid_t, std::vector<xcb_window_t>> windowsOf;
        std::vector<pid_t> owners;  // in the order of their top-most window
        for (auto child = children.rbegin(); child != children.rend(); ++child) {
            const pid_t owner = processes.ownerOf(*child);
            if (owner == 0) {
                continue;
            }
            const auto [windows, fresh] = windowsOf.try_emplace(owner);
            if (fresh) {
                owners.push_back(owner);
            }
            windows->second.push_back(*child);
        }
        bool lockerShows = false;
        for (const pid_t owner : owners) {
            if (showsLock(owner) && showsOverrideRedirect(windowsOf[owner])) {
                lockerShows = true;
                break;
            }
        }
        return lockerShows && keyboardGrabbedByAnother();
    }

    // The process is a known locker of this user on our display, or xscreensaver's graphics program
    // covering the screen for a lock (it does so also when xscreensaver only blanks the screen: its own
    // status tells which).
    bool showsLock(pid_t owner) {
        // The name alone rules out nearly every process.
        const std::string name = commandName(owner);
        if (name == screenSaverGraphics) {
            pid_t daemon = 0;
            return !screenSaverChildDoubt(owner, displayName_, daemon) &&
                   isSystemProgram(owner, screenSaverGraphics) && realUserOf(owner) == getuid() &&
                   screenSaverStatusIsLock();
        }
        if (!isKnownScreenLocker(name)) {
            return false;
        }
        const std::optional<ProbedProcess> info = programInfo(owner);
        return info && info->isSystemLoginWindow && info->userID == getuid();
    }

    // One of the windows is a mapped override-redirect one, shown unless something lies over it.
    bool showsOverrideRedirect(const std::vector<xcb_window_t>& windows) {
        xcb_connection_t* c = display_.get();
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        cookies.reserve(windows.size());
        for (const xcb_window_t window : windows) {
            cookies.push_back(xcb_get_window_attributes(c, window));
        }
        // Every reply is collected so that none is left pending.
        bool shown = false;
        for (const xcb_get_window_attributes_cookie_t cookie : cookies) {
            XReply<xcb_get_window_attributes_reply_t> attributes(
                xcb_get_window_attributes_reply(c, cookie, nullptr));
            shown = shown || isShownOverrideRedirect(attributes.get());
        }
        return shown;
    }

    static bool isShownOverrideRedirect(const xcb_get_window_attributes_reply_t* attributes) {
        return attributes != nullptr && attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
               attributes->override_redirect != 0;
    }

    // xscreensaver's status on the root window: LOCK, BLANK or 0 first.
    bool screenSaverStatusIsLock() {
        xcb_connection_t* c = display_.get();
        const auto atom = [&](const char* name) {
            XReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
                c, xcb_intern_atom(c, 1, std::uint16_t(std::strlen(name)), name), nullptr));
            return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        };
        const xcb_atom_t status = atom("_SCREENSAVER_STATUS");
        const xcb_atom_t lock = atom("LOCK");
        if (status == XCB_ATOM_NONE || lock == XCB_ATOM_NONE) {
            return false;
        }
        XReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
            c, xcb_get_property(c, 0, display_.root(), status, XCB_ATOM_INTEGER, 0, 1), nullptr));
        if (!property || property->format != 32 || xcb_get_property_value_length(property.get()) < 4) {
            return false;
        }
        return *static_cast<const std::uint32_t*>(xcb_get_property_value(property.get())) == lock;
    }

    // A grab of our own fails as already taken only while another client holds the keyboard; when ours
    // succeeds, it is let go at once.
    bool keyboardGrabbedByAnother() {
        if (!display_.usable()) {
            return false;
        }
        xcb_connection_t* c = display_.get();
        XReply<xcb_grab_keyboard_reply_t> grab(
            xcb_grab_keyboard_reply(c,
                                    xcb_grab_keyboard(c, 0, display_.root(), XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr));
        if (grab && grab->status == XCB_GRAB_STATUS_SUCCESS) {
            xcb_ungrab_keyboard(c, XCB_CURRENT_TIME);
            xcb_flush(c);
            return false;
        }
        return grab && grab->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
    }

    // X names no grab's owner. A screen locker covers the screen with an override-redirect window kept
    // on top, so the process owning the top-most mapped one is taken as the holder; anything else there
    // (an ordinary client's popup, a notification over the locker) is then named as the holder and fails
    // the checks.
    struct TopWindow {
        xcb_window_t window = XCB_NONE;
        pid_t owner = 0;
    };
    // Sought from the top down in batches that double, so that windows above it cost few round trips
    // however many there are, and windows below it none; none when X-Resource does not name its owner.
    std::optional<TopWindow> topOverrideRedirect() {
        if (!display_.usable() || !hasXRes_) {
            return std::nullopt;
        }
        xcb_connection_t* c = display_.get();
        const std::vector<xcb_window_t> children = display_.rootChildren();
        std::optional<xcb_window_t> top;
        std::vector<xcb_get_window_attributes_cookie_t> cookies;
        for (std::size_t end = children.size(), batch = 16; end > 0 && !top;
             end -= cookies.size(), batch *= 2) {
            cookies.clear();
            for (std::size_t i = end - std::min(batch, end); i < end; ++i) {
                cookies.push_back(xcb_get_window_attributes(c, children[i]));
            }
            // Every reply is collected so that none is left pending; the last one found is the highest.
            for (std::size_t i = 0; i < cookies.size(); ++i) {
                XReply<xcb_get_window_attributes_reply_t> attributes(
                    xcb_get_window_attributes_reply(c, cookies[i], nullptr));
                if (isShownOverrideRedirect(attributes.get())) {
                    top = children[end - cookies.size() + i];
                }
            }
        }
        if (!top) {
            return std::nullopt;
        }
        const pid_t owner = clientProcesses().ownerOf(*top);
        if (owner == 0) {
            return std::nullopt;
        }
        return TopWindow{*top, owner};
    }

    // Every local client's process, from one X-Resource request for all clients. A window's identifier
    // is its creator's resource base with bits the server leaves to that client set, and the server takes
    // no identifier from outside a client's own range.
    struct ClientProcesses {
        std::unordered_map<std::uint32_t, pid_t> byBase;
        std::uint32_t clientBits = 0;
        // 0 when X-Resource names no process for the window's client (one on another host).
        pid_t ownerOf(xcb_window_t window) const {
            const auto found = byBase.find(window & ~clientBits);
            return found != byBase.end() ? found->second : 0;
        }
    };
    ClientProcesses clientProcesses() {
        xcb_connection_t* c = display_.get();
        ClientProcesses processes;
        processes.clientBits = xcb_get_setup(c)->resource_id_mask;
        const xcb_res_client_id_spec_t everyClient{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
        XReply<xcb_res_query_client_ids_reply_t> ids(
            xcb_res_query_client_ids_reply(c, xcb_res_query_client_ids(c, 1, &everyClient), nullptr));
        if (!ids) {
            return processes;
        }
        for (auto it = xcb_res_query_client_ids_ids_iterator(ids.get()); it.rem > 0;
             xcb_res_client_id_value_next(&it)) {
            if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) == 0 ||
                xcb_res_client_id_value_value_length(it.data) < 1) {
                continue;
            }
            const std::uint32_t pid = *xcb_res_client_id_value_value(it.data);
            if (pid > 0 && pid <= std::uint32_t(std::numeric_limits<pid_t>::max())) {
                processes.byBase.emplace(it.data->spec.client, static_cast<pid_t>(pid));
            }
        }
        return processes;
    }

    // The unlocker's queue and the screen-lock monitor's worker may read at once.
    std::recursive_mutex mutex_;
    XConnection display_;
    GrabWatcher grabs_;
    std::string displayName_;
    LockSessionLookup sessions_;
    bool hasXTest_ = false;
    bool hasDPMS_ = false;
    bool hasXRes_ = false;
    std::unique_ptr<dbus::Connection> session_;
    std::unique_ptr<dbus::Connection> system_;
    std::string sessionPath_;
};

// "host:display.screen" without the screen; "unix:" is the local host.
std::string displayWithoutScreen(const std::string& name) {
    const std::size_t colon = name.rfind(':');
    if (colon == std::string::npos) {
        return {};
    }
    std::string host = name.substr(0, colon);
    if (host == "unix" || host == "localhost") {
        host.clear();
    }
    std::string number = name.substr(colon + 1);
    number = number.substr(0, number.find('.'));
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
        return {};
    }
    return host + ":" + number;
}

}  // namespace

void KeyboardGrabWatch::appeared(std::uint32_t window) {
    // Windows come and go; a flood of them is not followed (an unknown window is never trusted).
    if (windows_.size() < 65536 || windows_.contains(window)) {
        windows_[window] = {false, grabStands_};
    }
}

void KeyboardGrabWatch::disappeared(std::uint32_t window) {
    windows_.erase(window);
}

void KeyboardGrabWatch::grabbed() {
    grabStands_ = true;
    for (auto& [window, seen] : windows_) {
        seen.grabbedSince = true;
    }
}

void KeyboardGrabWatch::released() {
    grabStands_ = false;
    for (auto& [window, seen] : windows_) {
        seen = {};
    }
}

bool KeyboardGrabWatch::grabbedSince(std::uint32_t window) const {
    const auto found = windows_.find(window);
    return found != windows_.end() && found->second.grabbedSince;
}

bool KeyboardGrabWatch::appearedWhileGrabbed(std::uint32_t window) const {
    const auto found = windows_.find(window);
    return found != windows_.end() && found->second.appearedWhileGrabbed;
}

bool sameXDisplay(const std::string& a, const std::string& b) {
    const std::string first = displayWithoutScreen(a);
    return !first.empty() && first == displayWithoutScreen(b);
}

LockSessionLookup systemLockSessionLookup() {
    LockSessionLookup lookup;
    lookup.sessionOf = [](pid_t pid) -> std::optional<std::string> {
        char* session = nullptr;
        if (sd_pid_get_session(pid, &session) < 0 || session == nullptr) {
            return std::nullopt;
        }
        std::string id(session);
        std::free(session);
        return id;
    };
    lookup.ownSession = [sessionOf = lookup.sessionOf]() -> std::optional<std::string> {
        if (const char* id = std::getenv("XDG_SESSION_ID"); id != nullptr && *id != '\0') {
            return std::string(id);
        }
        if (std::optional<std::string> id = sessionOf(getpid())) {
            return id;
        }
        // Started outside the session (a user service): this user's graphical session.
        char* session = nullptr;
        if (sd_uid_get_display(getuid(), &session) < 0 || session == nullptr) {
            return std::nullopt;
        }
        std::string id(session);
        std::free(session);
        return id;
    };
    return lookup;
}

std::unique_ptr<LockScreenProbe> makeLinuxLockScreenProbe(const std::string& displayName,
                                                          LockSessionLookup sessions) {
    return std::make_unique<LinuxProbe>(displayName, std::move(sessions));
}

SystemLockScreen::SystemLockScreen(const std::string& displayName, LockSessionLookup sessions)
    : ProbedLockScreen(makeLinuxLockScreenProbe(displayName, std::move(sessions))) {}

struct SystemUnlockKeyboardLayout::Impl {
    explicit Impl(const std::string& displayName) : keymap(displayName) {}
    XkbServerKeymap keymap;
};

SystemUnlockKeyboardLayout::SystemUnlockKeyboardLayout(const std::string& displayName)
    : impl_(std::make_unique<Impl>(displayName)) {}

SystemUnlockKeyboardLayout::~SystemUnlockKeyboardLayout() = default;

std::optional<UnlockKey> SystemUnlockKeyboardLayout::key(std::string_view character) {
    std::optional<UnlockKey> found;
    impl_->keymap.with([&](xkb_keymap* keymap, std::uint32_t group) {
        xkb_state* state = xkb_state_new(keymap);
        if (state == nullptr) {
            return;
        }
        constexpr std::array<std::pair<bool, bool>, 4> combinations = {
            {{false, false}, {true, false}, {false, true}, {true, true}}};
        for (const auto& [shift, option] : combinations) {
            for (std::uint16_t code = 0; code < 128 && !found; ++code) {
                const std::optional<std::uint16_t> evdev = KeyCode::evdevKeyCode(code);
                if (!evdev || KeyCode::isKeypadKey(code)) {
                    continue;
                }
                char text[8] = {};
                const std::uint32_t cp = keyCharacter(state, keymap, group, shift, option, *evdev + 8u);
                if (cp == 0 || xkb_keysym_to_utf8(xkb_utf32_to_keysym(cp), text, sizeof text) <= 0) {
                    continue;
                }
                const std::string produced(text);
                if (!TrackpadProtocol::containsControlCharacter(produced) && produced == character) {
                    found = UnlockKey{code, shift, option};
                }
            }
            if (found) {
                break;
            }
        }
        xkb_state_unref(state);
    });
    return found;
}

}  // namespace Injector
