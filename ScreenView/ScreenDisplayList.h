#pragma once
// The displays a phone may view or photograph, as the wire list of ScreenDisplay records: read from the X
// server's RandR monitors, ordered with the main display first, cut to 32, with the main, built-in and
// pointer traits.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TrackpadProtocol/Types.h"

namespace ScreenView {

struct DisplayBounds {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool contains(int px, int py) const { return px >= x && py >= y && px < x + width && py < y + height; }
    bool operator==(const DisplayBounds&) const = default;
};

namespace ScreenDisplayList {

// One active monitor as the server reports it.
struct Description {
    std::uint32_t id = 0;  // the monitor's first output, else its name atom: stable while it lives
    std::string name;
    int pixelWidth = 0;
    int pixelHeight = 0;
    DisplayBounds bounds;  // in root-window pixels
    bool isMain = false;
    bool isBuiltIn = false;
    bool operator==(const Description&) const = default;
};

struct Point {
    int x = 0;
    int y = 0;
};

// The wire list: drops ids of 0, empty sizes and repeated ids; the first main display moves to the front
// (it carries `main`, as does the first entry when none is main); at most 32; names cut to 255 bytes;
// `containsPointer` on the first listed display whose bounds hold the pointer.
std::vector<TrackpadProtocol::ScreenDisplay> screenDisplays(const std::vector<Description>& descriptions,
                                                            std::optional<Point> pointer);

// The active monitors of the X display (empty name: $DISPLAY), mirrors left out; empty when the display
// cannot be reached. Synchronous; callable from any thread (a connection of its own per call).
std::vector<Description> activeDisplays(const std::string& displayName);
// The pointer in root-window pixels, if the display can be reached.
std::optional<Point> pointerLocation(const std::string& displayName);

}  // namespace ScreenDisplayList
}  // namespace ScreenView
