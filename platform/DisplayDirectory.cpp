#include "platform/DisplayDirectory.h"

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <utility>

#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/DispatchQueue.h"

namespace platform {
namespace {

const Logger logger("dev.quelmar.trackpad.mac", "displays");

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeReply>;

// One display as the server describes it, before it gets its id.
struct Found {
    std::string key;  // what identifies it while it lives
    std::string name;
    DisplayFrame frame;
    bool primary = false;
    std::vector<std::string> outputNames;
};

bool startsWithIgnoringCase(const std::string& text, const char* prefix) {
    for (std::size_t i = 0; prefix[i] != '\0'; ++i)
        if (i >= text.size() || std::tolower(static_cast<unsigned char>(text[i])) !=
                                    std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

bool isBuiltInName(const std::string& name) {
    return startsWithIgnoringCase(name, "eDP") || startsWithIgnoringCase(name, "LVDS") ||
           startsWithIgnoringCase(name, "DSI");
}

// The X protocol's strings (atom and output names) are ISO-8859-1; everything above speaks UTF-8, and a
// name that is not UTF-8 would make every display list unsendable.
std::string fromLatin1(const char* text, std::size_t length) {
    std::string utf8;
    utf8.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            utf8.push_back(static_cast<char>(byte));
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return utf8;
}

std::string atomName(xcb_connection_t* c, xcb_atom_t atom) {
    const Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
    if (!reply)
        return {};
    return fromLatin1(xcb_get_atom_name_name(reply.get()),
                      static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

std::string outputName(xcb_connection_t* c, xcb_randr_output_t output) {
    const Reply<xcb_randr_get_output_info_reply_t> reply(
        xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, output, XCB_CURRENT_TIME), nullptr));
    if (!reply)
        return {};
    return fromLatin1(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(reply.get())),
                      static_cast<std::size_t>(xcb_randr_get_output_info_name_length(reply.get())));
}

std::vector<Found> readMonitors(xcb_connection_t* connection, xcb_window_t root) {
    std::vector<Found> found;
    const Reply<xcb_randr_get_monitors_reply_t> reply(
        xcb_randr_get_monitors_reply(connection, xcb_randr_get_monitors(connection, root, 1), nullptr));
    if (!reply)
        return found;
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        Found monitor;
        monitor.name = atomName(connection, it.data->name);
        monitor.key = "monitor " + std::to_string(it.data->name);
        monitor.frame = {it.data->x, it.data->y, it.data->width, it.data->height};
        monitor.primary = it.data->primary != 0;
        const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(it.data);
        const int count = xcb_randr_monitor_info_outputs_length(it.data);
        for (int i = 0; i < count; ++i)
            monitor.outputNames.push_back(outputName(connection, outputs[i]));
        found.push_back(std::move(monitor));
    }
    return found;
}

std::vector<Found> readCrtcs(xcb_connection_t* connection, xcb_window_t root) {
    std::vector<Found> found;
    const Reply<xcb_randr_get_screen_resources_current_reply_t> resources(
        xcb_randr_get_screen_resources_current_reply(
            connection, xcb_randr_get_screen_resources_current(connection, root), nullptr));
    if (!resources)
        return found;
    const Reply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(
        connection, xcb_randr_get_output_primary(connection, root), nullptr));
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
    const int count = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
    for (int i = 0; i < count; ++i) {
        const Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
            connection, xcb_randr_get_crtc_info(connection, crtcs[i], resources->config_timestamp), nullptr));
        if (!crtc || crtc->mode == XCB_NONE || crtc->num_outputs == 0)
            continue;
        Found display;
        const xcb_randr_output_t* outputs = xcb_randr_get_crtc_info_outputs(crtc.get());
        for (int o = 0; o < xcb_randr_get_crtc_info_outputs_length(crtc.get()); ++o) {
            display.outputNames.push_back(outputName(connection, outputs[o]));
            display.primary = display.primary || (primary && primary->output == outputs[o]);
        }
        display.name = display.outputNames.front();
        display.key = "output " + std::to_string(outputs[0]);
        display.frame = {crtc->x, crtc->y, crtc->width, crtc->height};
        found.push_back(std::move(display));
    }
    return found;
}

// Everything the server says about its displays: a few round trips per monitor, which wait behind
// whatever the server is doing for other clients.
std::vector<Found> readDisplays(xcb_connection_t* connection, xcb_window_t root, bool hasMonitors,
                                bool hasCrtcs) {
    std::vector<Found> found;
    if (hasMonitors)
        found = readMonitors(connection, root);
    if (found.empty() && hasCrtcs)
        found = readCrtcs(connection, root);
    return found;
}

}  // namespace

struct DisplayDirectory::Internals : std::enable_shared_from_this<Internals> {
    explicit Internals(EventLoop& loop) : loop(loop) {}
    ~Internals() {
        // The reader uses the connection: it ends first.
        reader.reset();
        if (pollTimer)
            loop.cancel(pollTimer);
        if (watch)
            loop.removeWatch(watch);
        if (connection)
            xcb_disconnect(connection);
    }

    EventLoop& loop;
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_NONE;
    DisplayFrame screen;
    int randrEvents = -1;  // the first RandR event code, or -1 without RandR
    bool hasMonitors = false;
    bool hasCrtcs = false;
    EventLoop::WatchID watch = 0;
    bool broken = false;
    bool drainPosted = false;
    std::chrono::milliseconds pollInterval{0};
    EventLoop::TimerID pollTimer = 0;

    // Looks that the loop asks for (events, the timer) read on the reader's thread, so that the loop
    // never waits for the server; one at a time, and one more when asked meanwhile.
    std::unique_ptr<DispatchQueue> reader;
    bool reading = false;
    bool readAgain = false;

    std::map<std::string, std::uint32_t> ids;
    std::uint32_t nextID = 1;
    Published<std::vector<DisplayInfo>> published;

    bool usable() {
        if (!broken && xcb_connection_has_error(connection) != 0) {
            broken = true;
            logger.notice("the X connection of the display directory broke; displays are no longer followed");
            if (watch)
                loop.updateWatch(watch, 0);
        }
        return !broken;
    }

    // Reads the displays now, on the calling thread, gives them their ids and publishes them.
    void refresh() {
        if (!usable())
            return;
        if (reading)
            readAgain = true;  // what the reader brings may be older than this
        apply(readDisplays(connection, root, hasMonitors, hasCrtcs));
    }

    // Has the reader look again; what it finds is applied on the loop.
    void requestRead() {
        if (!reader) {
            refresh();
            return;
        }
        if (!usable())
            return;
        if (reading) {
            readAgain = true;
            return;
        }
        reading = true;
        reader->async([weak = weak_from_this(), &loop = loop, connection = connection, root = root,
                      hasMonitors = hasMonitors, hasCrtcs = hasCrtcs] {
            std::vector<Found> found = readDisplays(connection, root, hasMonitors, hasCrtcs);
            loop.post([weak, found = std::move(found)]() mutable {
                auto self = weak.lock();
                if (!self)
                    return;
                self->reading = false;
                if (!self->usable())
                    return;
                if (std::exchange(self->readAgain, false))
                    self->requestRead();
                // Last: a subscriber may destroy the directory.
                self->apply(std::move(found));
            });
        });
    }

    // Gives the displays found their ids and publishes them. Publishing comes last: a subscriber may
    // destroy the directory.
    void apply(std::vector<Found> found) {
        if (!usable())
            return;
        if (found.empty())
            found.push_back(Found{"screen", "screen", screen, true, {}});
        postDrain();

        std::map<std::string, std::uint32_t> kept;
        std::vector<DisplayInfo> list;
        for (auto& f : found) {
            auto key = f.key;
            while (kept.count(key))  // never two displays with one id
                key += "+";
            const auto old = ids.find(key);
            const std::uint32_t id = old != ids.end() ? old->second : nextID++;
            kept.emplace(key, id);
            DisplayInfo info;
            info.id = id;
            info.name = f.name;
            info.frame = f.frame;
            info.isMain = f.primary;
            info.isBuiltIn = isBuiltInName(f.name) ||
                             std::any_of(f.outputNames.begin(), f.outputNames.end(), isBuiltInName);
            list.push_back(std::move(info));
        }
        ids = std::move(kept);
        // Exactly one main display: the primary, else the one at the origin, else the first.
        auto main = std::find_if(list.begin(), list.end(), [](const DisplayInfo& d) { return d.isMain; });
        if (main == list.end())
            main = std::find_if(list.begin(), list.end(),
                                [](const DisplayInfo& d) { return d.frame.x == 0 && d.frame.y == 0; });
        if (main == list.end())
            main = list.begin();
        for (auto it = list.begin(); it != list.end(); ++it)
            it->isMain = it == main;
        std::stable_partition(list.begin(), list.end(), [](const DisplayInfo& d) { return d.isMain; });
        published.set(std::move(list));
    }

    // Handles the events xcb has read; from the descriptor too when `read`. Returns whether the displays
    // may have changed.
    bool takeEvents(bool read) {
        bool changed = false;
        while (xcb_generic_event_t* event = read ? xcb_poll_for_event(connection) : xcb_poll_for_queued_event(connection)) {
            const int type = event->response_type & 0x7F;
            if (randrEvents >= 0 && (type == randrEvents + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                     type == randrEvents + XCB_RANDR_NOTIFY))
                changed = true;
            std::free(event);
        }
        usable();
        return changed;
    }

    void schedulePoll() {
        pollTimer = loop.schedule(pollInterval, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->pollTimer = 0;
                self->schedulePoll();
                self->requestRead();
            }
        });
    }

    // A reply read by a round trip may have brought events along into xcb's queue, where the descriptor
    // no longer shows them; they are taken on the loop's next pass.
    void postDrain() {
        if (drainPosted)
            return;
        drainPosted = true;
        loop.post([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->drainPosted = false;
                if (self->usable() && self->takeEvents(false))
                    self->requestRead();
            }
        });
    }
};

std::unique_ptr<DisplayDirectory> DisplayDirectory::open(EventLoop& loop, const std::string& displayName) {
    auto d = std::make_shared<Internals>(loop);
    int screenNumber = 0;
    d->connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screenNumber);
    if (xcb_connection_has_error(d->connection) != 0) {
        logger.notice("no X display to list the displays of");
        return nullptr;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(d->connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem <= 0)
        return nullptr;
    d->root = screens.data->root;
    d->screen = {0, 0, screens.data->width_in_pixels, screens.data->height_in_pixels};

    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(d->connection, &xcb_randr_id);
    if (randr && randr->present) {
        const Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
            d->connection, xcb_randr_query_version(d->connection, 1, 5), nullptr));
        if (version && version->major_version == 1 && version->minor_version >= 2) {
            d->randrEvents = randr->first_event;
            d->hasCrtcs = true;
            // Monitors came with 1.5.
            d->hasMonitors = version->minor_version >= 5;
            xcb_randr_select_input(d->connection, d->root,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
            xcb_flush(d->connection);
        }
    }
    d->watch = loop.watch(xcb_get_file_descriptor(d->connection), EventLoop::readable,
                          [weak = std::weak_ptr<Internals>(d)](std::uint32_t) {
                              if (auto self = weak.lock(); self && self->usable() && self->takeEvents(true))
                                  self->requestRead();
                          });
    // The first listing needs no subscriber: it is simply there.
    d->refresh();
    d->reader = std::make_unique<DispatchQueue>("dev.quelmar.trackpad.mac.displays");
    return std::unique_ptr<DisplayDirectory>(new DisplayDirectory(std::move(d)));
}

DisplayDirectory::DisplayDirectory(std::shared_ptr<Internals> internals) : d_(std::move(internals)) {}

DisplayDirectory::~DisplayDirectory() = default;

const Published<std::vector<DisplayInfo>>& DisplayDirectory::displays() const {
    return d_->published;
}

std::optional<DisplayInfo> DisplayDirectory::display(std::uint32_t id) const {
    for (const auto& display : d_->published.value())
        if (display.id == id)
            return display;
    return std::nullopt;
}

std::optional<DisplayInfo> DisplayDirectory::mainDisplay() const {
    const auto& list = d_->published.value();
    if (list.empty())
        return std::nullopt;
    return list.front();
}

std::optional<DisplayDirectory::PointerLocation> DisplayDirectory::pointerLocation() {
    if (!d_->usable())
        return std::nullopt;
    const Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(d_->connection, xcb_query_pointer(d_->connection, d_->root), nullptr));
    d_->postDrain();
    if (!pointer)
        return std::nullopt;
    return PointerLocation{pointer->root_x, pointer->root_y};
}

std::optional<DisplayInfo> DisplayDirectory::pointerDisplay() {
    const auto pointer = pointerLocation();
    if (!pointer)
        return std::nullopt;
    const DisplayInfo* nearest = nullptr;
    std::int64_t nearestDistance = std::numeric_limits<std::int64_t>::max();
    for (const auto& display : d_->published.value()) {
        const DisplayFrame& f = display.frame;
        const std::int64_t dx = std::max({std::int64_t{f.x} - pointer->x, std::int64_t{0},
                                          std::int64_t{pointer->x} - (std::int64_t{f.x} + f.width - 1)});
        const std::int64_t dy = std::max({std::int64_t{f.y} - pointer->y, std::int64_t{0},
                                          std::int64_t{pointer->y} - (std::int64_t{f.y} + f.height - 1)});
        const std::int64_t distance = dx * dx + dy * dy;
        if (distance < nearestDistance) {
            nearest = &display;
            nearestDistance = distance;
        }
    }
    if (!nearest)
        return std::nullopt;
    return *nearest;
}

void DisplayDirectory::refresh() {
    d_->refresh();
}

void DisplayDirectory::refreshEvery(std::chrono::milliseconds interval) {
    if (d_->pollTimer) {
        d_->loop.cancel(d_->pollTimer);
        d_->pollTimer = 0;
    }
    d_->pollInterval = interval;
    if (interval.count() > 0)
        d_->schedulePoll();
}

bool DisplayDirectory::connected() const {
    return d_->usable();
}

}  // namespace platform
