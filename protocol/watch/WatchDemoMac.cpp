#include "protocol/watch/WatchDemoMac.h"

#include <cmath>

#include "protocol/messages/MessageCodec.h"
#include "protocol/messages/Overloaded.h"
#include "protocol/watch/WatchPayload.h"
#include "protocol/watch/WatchText.h"

namespace TrackpadProtocol {

namespace {

// NaN never reaches here (the codec refuses non-finite values), but a clamp that lets NaN through would
// leave the pointer off the screen for good, so NaN counts as the low edge.
double clamp(double value, double upper) {
    if (!(value > 0))
        return 0;
    if (value > upper)
        return upper;
    return value;
}

constexpr std::uint16_t deleteKeyCode = 51;
constexpr std::uint16_t returnKeyCode = 36;

}  // namespace

bool WatchDemoMac::accepts(const Message& message) {
    if (!isWatchInput(message))
        return false;
    try {
        (void)WatchPayload(WatchPayload::Input{message, std::nullopt, 0}).encoded();
        return true;
    } catch (const MessageCodec::EncodingError&) {
        return false;
    }
}

std::optional<SwipeDirection> WatchDemoMac::trackedSwipeDirection(double dx, double dy) {
    if (dx == 0 && dy == 0)
        return std::nullopt;
    if (std::fabs(dy) > std::fabs(dx))
        return dy < 0 ? SwipeDirection::up : SwipeDirection::down;
    return dx >= 0 ? SwipeDirection::right : SwipeDirection::left;
}

bool WatchDemoMac::apply(const Message& message) {
    if (!accepts(message))
        return false;
    ++acceptedCount;
    auto moveBy = [this](double dx, double dy) {
        pointer = {clamp(pointer.x + dx, screenSize.x), clamp(pointer.y + dy, screenSize.y)};
    };
    std::visit(
        Overloaded{
            [&](const Message::Move& m) {
                moveBy(m.dx, m.dy);
                lastAction = Action{Action::Moved{}};
            },
            [&](const Message::Tap& m) {
                ++clickCount;
                lastAction = Action{Action::Clicked{m.clickCount}};
            },
            [&](const Message::Drag& m) {
                moveBy(m.dx, m.dy);
                isButtonDown = m.phase != DragPhase::ended;
                lastAction = isButtonDown ? Action{Action::Dragging{}} : Action{Action::Dropped{}};
            },
            [&](const Message::Scroll& m) {
                if (m.dy == 0)
                    return;
                scrollOffset -= m.dy;
                lastAction = Action{Action::Scrolled{m.dy < 0}};
            },
            [&](const Message::Gesture& m) {
                std::visit(
                    Overloaded{
                        [&](const Gesture::Swipe& s) {
                            lastAction = Action{Action::Swiped{s.fingers, s.direction}};
                        },
                        [&](const Gesture::SwipeTracking& s) {
                            lastAction = Action{Action::Swiped{s.fingers, trackedSwipeDirection(s.dx, s.dy)}};
                        },
                        [&](const auto&) { lastAction = Action{Action::Other{}}; },
                    },
                    m.gesture.kind);
            },
            [&](const Message::KeyCombination& m) {
                const auto* code = std::get_if<KeyCombination::Code>(&m.combination.key);
                if (code && m.combination.modifiers.rawValue == 0) {
                    if (code->code == deleteKeyCode) {
                        const auto characters = watch_text::characters(typedLine);
                        if (!characters.empty())
                            typedLine.resize(typedLine.size() - characters.back().size());
                    } else if (code->code == returnKeyCode) {
                        typedLine.clear();
                    }
                }
                lastAction = Action{Action::Pressed{m.combination}};
            },
            [&](const Message::Text& m) {
                typedLine += m.text;
                const auto characters = watch_text::characters(typedLine);
                if (characters.size() > maxTypedLength) {
                    const auto& first = characters[characters.size() - maxTypedLength];
                    typedLine.erase(0, static_cast<std::size_t>(first.data() - typedLine.data()));
                }
                lastAction = Action{Action::Typed{m.text}};
            },
            [&](const Message::RightClick&) {
                ++clickCount;
                lastAction = Action{Action::RightClicked{}};
            },
            [&](const auto&) { lastAction = Action{Action::Other{}}; },
        },
        message.value);
    return true;
}

}  // namespace TrackpadProtocol
