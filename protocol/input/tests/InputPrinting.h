#pragma once
// Readable test failures for the input messages the sequencers deal in.
#include <ostream>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

inline void PrintTo(const Message& message, std::ostream* os) {
    auto stroke = [os](const auto& stamp) {
        if (stamp)
            *os << " #" << stamp->stroke << "." << stamp->sequence;
    };
    if (auto m = message.as<Message::Move>()) {
        *os << "move(" << m->dx << ", " << m->dy << ")";
    } else if (auto d = message.as<Message::Drag>()) {
        *os << "drag(" << int(d->phase) << ", " << d->dx << ", " << d->dy << ")";
    } else if (auto t = message.as<Message::Tap>()) {
        *os << "tap(" << int(t->clickCount) << ")";
    } else if (message.is<Message::RightClick>()) {
        *os << "rightClick";
    } else if (auto s = message.as<Message::Scroll>()) {
        *os << "scroll(" << s->dx << ", " << s->dy << ", phase " << int(s->phase);
        stroke(s->stamp);
        *os << ")";
    } else if (auto p = message.as<Message::Positioned>()) {
        *os << "positioned(";
        PrintTo(*p->message, os);
        *os << " #" << p->stamp.sequence << "/" << p->stamp.boundary << " @" << p->stamp.x << ","
            << p->stamp.y << ")";
    } else if (auto g = message.as<Message::Gesture>()) {
        if (auto pinch = std::get_if<Gesture::Pinch>(&g->gesture.kind)) {
            *os << "pinch(phase " << int(pinch->phase) << ", " << pinch->magnification;
            stroke(pinch->stamp);
            *os << ")";
        } else if (auto swipe = std::get_if<Gesture::SwipeTracking>(&g->gesture.kind)) {
            *os << "swipeTracking(phase " << int(swipe->phase) << ", " << int(swipe->fingers) << " fingers, "
                << swipe->dx << ", " << swipe->dy;
            stroke(swipe->stamp);
            *os << ")";
        } else {
            *os << "gesture";
        }
    } else {
        *os << "message case " << message.value.index();
    }
}

}  // namespace TrackpadProtocol
