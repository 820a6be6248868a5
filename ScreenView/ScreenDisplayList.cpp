#include "ScreenView/ScreenDisplayList.h"

#include <xcb/randr.h>

#include <algorithm>
#include <unordered_set>

#include "ScreenView/XMonitors.h"
#include "TrackpadProtocol/Message.h"

namespace ScreenView {

using TrackpadProtocol::ScreenDisplay;

namespace ScreenDisplayList {

std::vector<ScreenDisplay> screenDisplays(const std::vector<Description>& descriptions,
                                          std::optional<Point> pointer) {
    std::vector<Description> kept;
    std::unordered_set<std::uint32_t> seen;
    for (const Description& description : descriptions) {
        if (description.id == 0 || description.pixelWidth < 1 || description.pixelHeight < 1) {
            continue;
        }
        if (seen.insert(description.id).second) {
            kept.push_back(description);
        }
    }
    auto main = std::find_if(kept.begin(), kept.end(), [](const Description& d) { return d.isMain; });
    if (main != kept.end()) {
        std::rotate(kept.begin(), main, main + 1);
    }
    if (kept.size() > TrackpadProtocol::Message::ScreenDisplays::maxDisplays) {
        kept.resize(TrackpadProtocol::Message::ScreenDisplays::maxDisplays);
    }
    std::optional<std::size_t> underPointer;
    if (pointer) {
        for (std::size_t i = 0; i < kept.size(); ++i) {
            if (kept[i].bounds.contains(pointer->x, pointer->y)) {
                underPointer = i;
                break;
            }
        }
    }
    std::vector<ScreenDisplay> result;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const Description& d = kept[i];
        ScreenDisplay display;
        display.id = d.id;
        display.name = TrackpadProtocol::truncatedForWire(d.name);
        display.pixelWidth = static_cast<std::uint16_t>(std::clamp(d.pixelWidth, 0, 65535));
        display.pixelHeight = static_cast<std::uint16_t>(std::clamp(d.pixelHeight, 0, 65535));
        if (i == 0) {
            display.traits = display.traits | ScreenDisplay::Traits::main;
        }
        if (d.isBuiltIn) {
            display.traits = display.traits | ScreenDisplay::Traits::builtIn;
        }
        if (underPointer == i) {
            display.traits = display.traits | ScreenDisplay::Traits::containsPointer;
        }
        result.push_back(std::move(display));
    }
    return result;
}

std::vector<Description> activeDisplays(const std::string& displayName) {
    XDisplayConnection display(displayName);
    if (!display.usable()) {
        return {};
    }
    return readMonitors(display);
}

std::optional<Point> pointerLocation(const std::string& displayName) {
    XDisplayConnection display(displayName);
    if (!display.usable()) {
        return std::nullopt;
    }
    const XReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(display.get(), xcb_query_pointer(display.get(), display.root()), nullptr));
    if (!pointer || pointer->same_screen == 0) {
        return std::nullopt;
    }
    return Point{pointer->root_x, pointer->root_y};
}

}  // namespace ScreenDisplayList

namespace {

std::string atomName(xcb_connection_t* connection, xcb_atom_t atom) {
    const XReply<xcb_get_atom_name_reply_t> reply(
        xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atom), nullptr));
    if (!reply) {
        return {};
    }
    return std::string(xcb_get_atom_name_name(reply.get()),
                       static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

std::string outputName(xcb_connection_t* connection, xcb_randr_output_t output) {
    const XReply<xcb_randr_get_output_info_reply_t> reply(xcb_randr_get_output_info_reply(
        connection, xcb_randr_get_output_info(connection, output, XCB_CURRENT_TIME), nullptr));
    if (!reply) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(reply.get())),
                       static_cast<std::size_t>(xcb_randr_get_output_info_name_length(reply.get())));
}

// Laptop panels are named after their link by every X driver.
bool isBuiltInName(const std::string& name) {
    for (const char* prefix : {"eDP", "LVDS", "DSI"}) {
        if (name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::vector<ScreenDisplayList::Description> readMonitors(const XDisplayConnection& display) {
    xcb_connection_t* connection = display.get();
    std::vector<ScreenDisplayList::Description> result;
    bool hasMonitors = false;
    if (display.has(&xcb_randr_id)) {
        const XReply<xcb_randr_query_version_reply_t> version(
            xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), nullptr));
        hasMonitors = version && (version->major_version > 1 || version->minor_version >= 5);
    }
    if (!hasMonitors) {
        const xcb_screen_t* screen = display.screen();
        ScreenDisplayList::Description whole;
        whole.id = screen->root;
        whole.name = "Screen";
        whole.pixelWidth = screen->width_in_pixels;
        whole.pixelHeight = screen->height_in_pixels;
        whole.bounds = {0, 0, whole.pixelWidth, whole.pixelHeight};
        whole.isMain = true;
        result.push_back(whole);
        return result;
    }
    const XReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
        connection, xcb_randr_get_monitors(connection, display.root(), 1), nullptr));
    if (!reply) {
        return result;
    }
    for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
         xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t* monitor = it.data;
        ScreenDisplayList::Description description;
        const int outputs = xcb_randr_monitor_info_outputs_length(monitor);
        const xcb_randr_output_t* output = xcb_randr_monitor_info_outputs(monitor);
        description.id = outputs > 0 ? output[0] : monitor->name;
        description.name = outputs > 0 ? outputName(connection, output[0]) : std::string();
        if (description.name.empty()) {
            description.name = atomName(connection, monitor->name);
        }
        description.pixelWidth = monitor->width;
        description.pixelHeight = monitor->height;
        description.bounds = {monitor->x, monitor->y, monitor->width, monitor->height};
        description.isMain = monitor->primary != 0;
        description.isBuiltIn = isBuiltInName(description.name);
        // A cloned monitor shows the same pixels as the one before it: list the source only.
        const bool mirror = std::any_of(result.begin(), result.end(), [&](const auto& earlier) {
            return earlier.bounds == description.bounds;
        });
        if (!mirror) {
            result.push_back(std::move(description));
        }
    }
    return result;
}

}  // namespace ScreenView
