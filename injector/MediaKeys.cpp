#include "injector/MediaKeys.h"

#include <utility>

#include "platform/Executor.h"

namespace Injector {
namespace {

constexpr std::uint64_t keyDownState = 0x0A00;
constexpr std::uint64_t keyUpState = 0x0B00;

// Indexed by the command's raw value.
constexpr std::array<std::uint8_t, 8> indexByCommand = {5, 6, 7, 0, 1, 4, 2, 3};

}  // namespace

std::optional<std::uint8_t> mediaKeyIndex(MediaCommand command) {
    const auto raw = static_cast<std::size_t>(command);
    if (raw >= indexByCommand.size()) {
        return std::nullopt;
    }
    return indexByCommand[raw];
}

std::optional<InputEvent> makeMediaKeyEvent(bool keyDown, std::int64_t tag, std::uint8_t keyIndex) {
    if (keyIndex >= mediaKeyTable.size()) {
        return std::nullopt;
    }
    const std::uint64_t state = keyDown ? keyDownState : keyUpState;
    SystemDefinedData data;
    data.subtype = mediaKeySubtype;
    data.data1 = static_cast<std::int64_t>(mediaKeyTable[keyIndex] | state);
    data.data2 = -1;
    InputEvent event = InputEvent::systemDefined(Point{0, 0}, state, platform::monotonicSeconds(), data);
    event.setIntegerField(EventField::eventSourceUserData, tag);
    return event;
}

std::optional<MediaKeyStroke> mediaKeyStroke(const InputEvent& event) {
    if (event.type != EventType::systemDefined || event.system.subtype != mediaKeySubtype) {
        return std::nullopt;
    }
    const auto word = static_cast<std::uint64_t>(event.system.data1);
    const std::uint64_t state = word & 0xFF00;
    if (state != keyDownState && state != keyUpState) {
        return std::nullopt;
    }
    return MediaKeyStroke{static_cast<std::uint8_t>((word >> 16) & 0xFF), state == keyDownState};
}

MediaKeyRouter::MediaKeyRouter(EventPoster& poster, Action action)
    : poster_(poster), action_(std::move(action)) {}

void MediaKeyRouter::post(const InputEvent& event) {
    const std::optional<MediaKeyStroke> stroke = mediaKeyStroke(event);
    if (!stroke || !action_) {
        poster_.post(event);
        return;
    }
    if (stroke->down) {
        carriedOut_[stroke->key] = action_(static_cast<AuxiliaryKey>(stroke->key));
        if (carriedOut_[stroke->key]) {
            return;
        }
    } else if (carriedOut_[stroke->key]) {
        carriedOut_[stroke->key] = false;
        return;
    }
    poster_.post(event);
}

}  // namespace Injector
