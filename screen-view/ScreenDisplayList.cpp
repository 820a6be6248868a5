#include "screen-view/ScreenDisplayList.h"

#include <algorithm>
#include <unordered_set>

#include "protocol/messages/Message.h"

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

std::vector<Description> descriptions(const std::vector<platform::DisplayInfo>& displays) {
    std::vector<Description> result;
    for (const platform::DisplayInfo& display : displays) {
        Description description;
        description.id = display.id;
        description.name = display.name;
        description.pixelWidth = display.frame.width;
        description.pixelHeight = display.frame.height;
        description.bounds = {display.frame.x, display.frame.y, display.frame.width, display.frame.height};
        description.isMain = display.isMain;
        description.isBuiltIn = display.isBuiltIn;
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

}  // namespace ScreenDisplayList
}  // namespace ScreenView
