#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

BoxedMessage::BoxedMessage(const Message& message) : value_(std::make_unique<Message>(message)) {}
BoxedMessage::BoxedMessage(Message&& message) : value_(std::make_unique<Message>(std::move(message))) {}
BoxedMessage::BoxedMessage(const BoxedMessage& other)
    : value_(other.value_ ? std::make_unique<Message>(*other.value_) : nullptr) {}
BoxedMessage& BoxedMessage::operator=(const BoxedMessage& other) {
    if (this != &other) value_ = other.value_ ? std::make_unique<Message>(*other.value_) : nullptr;
    return *this;
}
BoxedMessage::~BoxedMessage() = default;

const Message& BoxedMessage::emptyMessage() {
    static const Message empty;
    return empty;
}

bool operator==(const BoxedMessage& a, const BoxedMessage& b) {
    return *a == *b;
}

Message::Message() = default;
Message::Message(const Message& other) = default;
Message::Message(Message&& other) noexcept = default;
Message& Message::operator=(const Message& other) = default;
Message& Message::operator=(Message&& other) noexcept = default;
Message::~Message() = default;
bool Message::operator==(const Message& other) const { return value == other.value; }

Transport Message::transport() const {
    constexpr auto datagram = Transport::datagram;
    constexpr auto reliable = Transport::reliable;
    if (is<Move>()) return datagram;
    if (auto drag = as<Drag>()) return drag->phase == DragPhase::changed ? datagram : reliable;
    if (auto scroll = as<Scroll>()) return isFinal(scroll->phase) ? reliable : datagram;
    if (auto probe = as<Probe>()) return probe->viaDatagram ? datagram : reliable;
    if (auto annotation = as<Annotation>()) {
        return std::holds_alternative<::TrackpadProtocol::Annotation::Update>(annotation->annotation.kind)
                   ? datagram
                   : reliable;
    }
    if (auto gesture = as<Gesture>()) {
        const auto& kind = gesture->gesture.kind;
        if (auto pinch = std::get_if<::TrackpadProtocol::Gesture::Pinch>(&kind)) {
            return pinch->phase == GesturePhase::changed ? datagram : reliable;
        }
        if (auto swipe = std::get_if<::TrackpadProtocol::Gesture::SwipeTracking>(&kind)) {
            return swipe->phase == GesturePhase::changed ? datagram : reliable;
        }
        return reliable;
    }
    if (auto positioned = as<Positioned>()) {
        if (positioned->stamp.sequence == 0) return reliable;
        return positioned->message->transport();
    }
    return reliable;
}

}  // namespace TrackpadProtocol
