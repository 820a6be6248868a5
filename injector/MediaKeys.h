#pragma once
// Media keys as system-defined events: the auxiliary key table, the map from a phone's media
// command to a table index, and the event builder.
#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>

#include "injector/EventPoster.h"
#include "injector/InputEvent.h"
#include "protocol/messages/Types.h"

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

// A poster in front of the system poster that lets the desktop's own media facilities carry out a
// media key: a pressed key goes to `action` first, and only when it declines is the key posted. X keys
// only reach a desktop daemon that listens for them, which many desktops lack, while a player on the
// session bus or the sound server obeys on every desktop. A key that was carried out is never posted
// too, so a desktop that also reacts to the key cannot act twice. Every other event, and the key's
// release when its press was posted, goes to the poster unchanged.
//
// Thread: the poster's thread (the main queue); `action` is called there and must not block.
class MediaKeyRouter final : public EventPoster {
  public:
    // True when the key was carried out (or handed on to be) without a key press.
    using Action = std::function<bool(AuxiliaryKey key)>;

    // `poster` must outlive the router.
    MediaKeyRouter(EventPoster& poster, Action action);

    void post(const InputEvent& event) override;
    bool pacesMotion() const override { return poster_.pacesMotion(); }
    void settleKeyboard() override { poster_.settleKeyboard(); }

  private:
    EventPoster& poster_;
    Action action_;
    // Keys whose press was carried out: their release is not posted either.
    std::bitset<256> carriedOut_;
};

}  // namespace Injector
