#pragma once
// The displays a phone may view or photograph, as the wire list of ScreenDisplay records: the process's
// display directory's displays, ordered with the main display first, cut to 32, with the main, built-in
// and pointer traits.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/DisplayDirectory.h"
#include "protocol/messages/Types.h"

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

// One display as the directory reports it.
struct Description {
    std::uint32_t id = 0;  // the directory's: stable while the monitor lives
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

// The directory's displays as descriptions; a display with the same rectangle as an earlier one is a
// mirror showing the same pixels and is left out.
std::vector<Description> descriptions(const std::vector<platform::DisplayInfo>& displays);

}  // namespace ScreenDisplayList
}  // namespace ScreenView
