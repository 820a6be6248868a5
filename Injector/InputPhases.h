#pragma once
// The phases and media commands the injector's builders take, with the wire protocol's raw values.
// The injector spells them here until the message model offers them; switching to the protocol's own
// types then changes only this header.
#include <cstdint>

namespace Injector {

enum class DragPhase : std::uint8_t { began = 0, changed = 1, ended = 2 };

enum class ScrollPhase : std::uint8_t { began = 0, changed = 1, ended = 2, momentum = 3, momentumEnded = 4 };

constexpr bool isFinal(ScrollPhase phase) {
    return phase == ScrollPhase::ended || phase == ScrollPhase::momentumEnded;
}

enum class MediaCommand : std::uint8_t {
    playPause = 0,
    next = 1,
    previous = 2,
    volumeUp = 3,
    volumeDown = 4,
    mute = 5,
    brightnessUp = 6,
    brightnessDown = 7,
};

}  // namespace Injector
