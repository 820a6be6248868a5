#pragma once
// Short spellings of the phone messages the injector tests feed in.
#include <cstdint>

#include "protocol/messages/Message.h"

namespace Injector::test {

using TrackpadProtocol::DragPhase;
using TrackpadProtocol::Message;
using TrackpadProtocol::ScrollPhase;
using TrackpadProtocol::UUID;

inline Message move(float dx, float dy) {
    return Message::Move{dx, dy};
}
inline Message drag(DragPhase phase, float dx, float dy) {
    return Message::Drag{phase, dx, dy};
}
inline Message scroll(ScrollPhase phase, float dx = 0, float dy = 1) {
    return Message::Scroll{dx, dy, phase, std::nullopt};
}
inline Message tap(std::uint8_t count) {
    return Message::Tap{count};
}
// A phone or pointer session told apart by one byte.
inline UUID uuid(std::uint8_t n) {
    UUID id;
    id.bytes[15] = n;
    return id;
}
inline Message positioned(const Message& inner, const UUID& session, std::uint64_t sequence,
                          std::uint64_t boundary, double x, double y = 0) {
    return Message::Positioned{inner, TrackpadProtocol::PointerStamp{session, sequence, boundary, x, y}};
}

}  // namespace Injector::test
