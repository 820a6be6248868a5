#include "injector/InputEvent.h"

namespace Injector {

InputEvent InputEvent::mouse(EventType type, Point location, MouseButton button) {
    InputEvent event;
    event.type = type;
    event.location = location;
    event.button = button;
    return event;
}

InputEvent InputEvent::scrollWheel(ScrollEventUnit units, std::uint32_t wheelCount, std::int32_t wheel1,
                                   std::int32_t wheel2, std::int32_t wheel3) {
    InputEvent event;
    event.type = EventType::scrollWheel;
    event.wheel = {units, wheelCount, wheel1, wheel2, wheel3};
    return event;
}

InputEvent InputEvent::systemDefined(Point location, std::uint64_t flags, double timestamp,
                                     SystemDefinedData data) {
    InputEvent event;
    event.type = EventType::systemDefined;
    event.location = location;
    event.flags = flags;
    event.timestamp = timestamp;
    event.system = data;
    return event;
}

InputEvent InputEvent::keyboard(EventType type, std::uint16_t keyCode, std::uint64_t flags) {
    InputEvent event;
    event.type = type;
    event.keyCode = keyCode;
    event.flags = flags;
    return event;
}

}  // namespace Injector
