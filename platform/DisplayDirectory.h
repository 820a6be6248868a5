#pragma once
// The X screen's monitors, kept current from RandR's change events, over an X connection of its own.
//
// Thread: the EventLoop's it was opened with; change notifications are delivered there. The looks that
// events and the timer cause ask the server from a thread of the directory's own, so that the loop never
// waits for a busy server; their results are applied on the loop.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Published.h"

namespace platform {

class EventLoop;

// In global X coordinates: the root window's, origin at the top-left corner, y growing downwards, in pixels.
struct DisplayFrame {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const DisplayFrame&) const = default;

    bool contains(int px, int py) const { return px >= x && py >= y && px < x + width && py < y + height; }
};

struct DisplayInfo {
    // Stays the same while the monitor exists; a monitor that goes and comes back gets a new id. Ids are
    // never 0 and never reused by one directory.
    std::uint32_t id = 0;
    std::string name;  // the RandR monitor's name ("eDP-1", "DP-2"), or the output's
    DisplayFrame frame;
    bool isMain = false;     // the primary monitor (the one at the origin, else the first, when none is)
    bool isBuiltIn = false;  // a laptop panel: an output named eDP*, LVDS* or DSI*
    bool operator==(const DisplayInfo&) const = default;
};

class DisplayDirectory {
public:
    // Connects to the named display (empty: $DISPLAY); none when it cannot be reached.
    static std::unique_ptr<DisplayDirectory> open(EventLoop& loop, const std::string& displayName = {});
    ~DisplayDirectory();
    DisplayDirectory(const DisplayDirectory&) = delete;
    DisplayDirectory& operator=(const DisplayDirectory&) = delete;

    // The main display first, the others in the server's order. RandR monitors where the server has
    // them (1.5), else the active CRTCs, else the whole screen as one display. Subscribers hear of every
    // change, after the directory has been brought up to date.
    const Published<std::vector<DisplayInfo>>& displays() const;

    std::optional<DisplayInfo> display(std::uint32_t id) const;
    std::optional<DisplayInfo> mainDisplay() const;

    struct PointerLocation {
        int x = 0;
        int y = 0;
    };
    // Asks the server (a round trip); none when the connection is broken.
    std::optional<PointerLocation> pointerLocation();
    // The display under the pointer, or the nearest one when the pointer sits outside all of them.
    std::optional<DisplayInfo> pointerDisplay();

    // Reads the displays again now; subscribers hear of it only when something changed. The server
    // announces no change when a client sets or deletes a monitor (xrandr --setmonitor), so whoever must
    // follow those looks again from time to time.
    void refresh();
    // Looks again every `interval` besides the server's events; zero stops looking.
    void refreshEvery(std::chrono::milliseconds interval);

    // False once the X connection has broken; the last known displays stay.
    bool connected() const;

    struct Internals;

private:
    explicit DisplayDirectory(std::shared_ptr<Internals> internals);
    std::shared_ptr<Internals> d_;  // tasks on the loop hold it weakly
};

}  // namespace platform
