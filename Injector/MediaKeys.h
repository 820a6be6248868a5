#pragma once
// Media keys as system-defined events: the auxiliary key table, the map from a phone's media
// command to a table index, and the event builder.
#include <array>
#include <cstdint>
#include <optional>

#include "Injector/InputEvent.h"
#include "TrackpadProtocol/Types.h"

namespace Injector {

using TrackpadProtocol::MediaCommand;

// The system's auxiliary key numbers for system-defined media-key events.
enum class AuxiliaryKey : std::uint8_t {
    soundUp = 0,
    soundDown = 1,
    brightnessUp = 2,
    brightnessDown = 3,
    mute = 7,
    play = 16,
    next = 17,
    previous = 18,
};

inline constexpr std::int16_t mediaKeySubtype = 8;

// Each entry is an auxiliary key number shifted into the high half of the event's data word.
inline constexpr std::array<std::uint64_t, 8> mediaKeyTable = {
    std::uint64_t{0} << 16, std::uint64_t{1} << 16,  std::uint64_t{2} << 16,  std::uint64_t{3} << 16,
    std::uint64_t{7} << 16, std::uint64_t{16} << 16, std::uint64_t{17} << 16, std::uint64_t{18} << 16,
};

// The table index of a command; none for a value outside the command set.
std::optional<std::uint8_t> mediaKeyIndex(MediaCommand command);

// One media-key event (key down or key up) for the table entry `keyIndex`, with `tag` in its
// user-data field; none for an index outside the table.
std::optional<InputEvent> makeMediaKeyEvent(bool keyDown, std::int64_t tag, std::uint8_t keyIndex);

// What a poster needs of a media-key event: the auxiliary key and whether it goes down or up. None
// for any other event, or for a data word that is neither a press nor a release.
struct MediaKeyStroke {
    std::uint8_t key = 0;
    bool down = false;
    friend bool operator==(const MediaKeyStroke&, const MediaKeyStroke&) = default;
};
std::optional<MediaKeyStroke> mediaKeyStroke(const InputEvent& event);

}  // namespace Injector
