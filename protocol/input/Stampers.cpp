#include "protocol/input/Stampers.h"

#include <cmath>

namespace TrackpadProtocol {

// ---- Pointer -------------------------------------------------------------------------------------------

PointerStamper::PointerStamper(UUID session) : session_(session) {}

Message PointerStamper::sessionStart() const {
    return Message::Positioned{Message{Message::Move{0, 0}}, PointerStamp{session_, 0, 0, 0, 0}};
}

std::optional<Message> PointerStamper::stamp(const Message& message) {
    float dx = 0;
    float dy = 0;
    if (auto move = message.as<Message::Move>()) {
        dx = move->dx;
        dy = move->dy;
    } else if (auto drag = message.as<Message::Drag>()) {
        dx = drag->dx;
        dy = drag->dy;
    } else if (!message.is<Message::Tap>() && !message.is<Message::RightClick>()) {
        return std::nullopt;
    }
    if (!std::isfinite(dx) || !std::isfinite(dy))
        return std::nullopt;

    x_ += dx;
    y_ += dy;
    ++sequence_;
    Message positioned =
        Message::Positioned{message, PointerStamp{session_, sequence_, lastReliable_, x_, y_}};
    if (positioned.transport() == Transport::reliable)
        lastReliable_ = sequence_;
    return positioned;
}

// ---- Strokes -------------------------------------------------------------------------------------------

StrokeNumbering::StrokeNumbering(bool hasMomentum, std::uint32_t firstStroke)
    : hasMomentum_(hasMomentum), stroke_(firstStroke) {}

StrokeStamp StrokeNumbering::next(StrokePhase phase) {
    if (!continuesStroke(stage_, phase)) {
        if (started_)
            ++stroke_;
        started_ = true;
        sequence_ = 0;
    }
    ++sequence_;
    stage_ = stageAfter(phase, hasMomentum_);
    StrokeStamp stamp;
    stamp.stroke = stroke_;
    stamp.sequence = sequence_;
    return stamp;
}

namespace {
template <class Stamp>
Stamp as(StrokeStamp stamp) {
    Stamp typed;
    static_cast<StrokeStamp&>(typed) = stamp;
    return typed;
}
}  // namespace

Message ScrollStamper::stamp(const Message& message) {
    auto scroll = message.as<Message::Scroll>();
    if (!scroll)
        return message;
    Message::Scroll stamped = *scroll;
    stamped.stamp = as<ScrollStamp>(numbering_.next(static_cast<StrokePhase>(scroll->phase)));
    return stamped;
}

Message PinchStamper::stamp(const Message& message) {
    auto gesture = message.as<Message::Gesture>();
    auto pinch = gesture ? std::get_if<Gesture::Pinch>(&gesture->gesture.kind) : nullptr;
    if (!pinch)
        return message;
    Gesture::Pinch stamped = *pinch;
    stamped.stamp = as<PinchStamp>(numbering_.next(static_cast<StrokePhase>(pinch->phase)));
    return Message::Gesture{Gesture{stamped}};
}

Message SwipeStamper::stamp(const Message& message) {
    auto gesture = message.as<Message::Gesture>();
    auto swipe = gesture ? std::get_if<Gesture::SwipeTracking>(&gesture->gesture.kind) : nullptr;
    if (!swipe)
        return message;
    Gesture::SwipeTracking stamped = *swipe;
    stamped.stamp = as<SwipeStamp>(numbering_.next(static_cast<StrokePhase>(swipe->phase)));
    return Message::Gesture{Gesture{stamped}};
}

}  // namespace TrackpadProtocol
