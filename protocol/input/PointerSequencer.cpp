#include "protocol/input/PointerSequencer.h"

#include <cmath>

#include "protocol/messages/FloatNarrowing.h"

namespace TrackpadProtocol {

bool PointerSequencer::Step::isReliable() const {
    return kind != Kind::move && !(kind == Kind::drag && phase == DragPhase::changed);
}

std::vector<Message> PointerSequencer::accept(const Message& message) {
    std::vector<Message> out;
    accept(message, out);
    return out;
}

void PointerSequencer::accept(const Message& message, std::vector<Message>& out) {
    const auto* positioned = message.as<Message::Positioned>();
    if (!positioned)
        return;
    const PointerStamp& stamp = positioned->stamp;
    if (!std::isfinite(stamp.x) || !std::isfinite(stamp.y))
        return;

    Step step;
    step.sequence = stamp.sequence;
    step.boundary = stamp.boundary;
    step.x = stamp.x;
    step.y = stamp.y;
    const Message& inner = *positioned->message;
    bool isMarker = false;
    if (auto move = inner.as<Message::Move>()) {
        step.kind = Kind::move;
        isMarker = move->dx == 0 && move->dy == 0 && stamp.sequence == 0 && stamp.boundary == 0 &&
                   stamp.x == 0 && stamp.y == 0;
    } else if (auto tap = inner.as<Message::Tap>()) {
        step.kind = Kind::tap;
        step.clickCount = tap->clickCount;
    } else if (auto drag = inner.as<Message::Drag>()) {
        step.kind = Kind::drag;
        step.phase = drag->phase;
    } else if (inner.is<Message::RightClick>()) {
        step.kind = Kind::rightClick;
    } else {
        return;
    }

    if (isMarker) {
        if ((current_ && current_->id == stamp.session) || isRetired(stamp.session))
            return;
        adopt(stamp.session);
        // A new session ends whatever drag the phone's previous one left pressed.
        out.emplace_back(Message::Drag{DragPhase::ended, 0, 0});
        return;
    }
    // Before its marker a session has no origin for its positions. The marker travels reliably ahead of
    // the session's reliable messages, and datagrams that overtake it are made up for by the positions of
    // the ones that follow it, so nothing is lost by not keeping them.
    if (!current_ || current_->id != stamp.session)
        return;
    if (step.sequence <= current_->highestApplied)
        return;
    if (step.boundary > current_->highestReliable) {
        hold(step);
        return;
    }
    apply(step, out);
    releaseHeld(out);
}

bool PointerSequencer::isRetired(const UUID& id) const {
    for (std::size_t i = 0; i < retiredCount_; ++i) {
        if (retired_[i] == id)
            return true;
    }
    return false;
}

void PointerSequencer::adopt(const UUID& id) {
    if (current_) {
        retired_[retiredNext_] = current_->id;
        retiredNext_ = (retiredNext_ + 1) % retiredSessionCapacity;
        if (retiredCount_ < retiredSessionCapacity)
            ++retiredCount_;
    }
    current_ = Session{id};
    heldCount_ = 0;
}

void PointerSequencer::hold(const Step& step) {
    std::size_t at = 0;
    while (at < heldCount_ && held_[at].sequence < step.sequence)
        ++at;
    if (at < heldCount_ && held_[at].sequence == step.sequence)
        return;  // already waiting
    if (heldCount_ == heldCapacity) {
        // Full: something must go. A datagram costs nothing to lose, since the positions of the messages
        // after it carry its motion, so the oldest one goes first; reliable messages only when nothing
        // else is left.
        std::size_t victim = heldCount_;
        for (std::size_t i = 0; i < heldCount_; ++i) {
            if (!held_[i].isReliable()) {
                victim = i;
                break;
            }
        }
        if (victim == heldCount_) {
            if (!step.isReliable())
                return;
            victim = 0;
        } else if (!step.isReliable() && step.sequence < held_[victim].sequence) {
            return;
        }
        removeHeld(victim);
        if (victim < at)
            --at;
    }
    for (std::size_t i = heldCount_; i > at; --i)
        held_[i] = held_[i - 1];
    held_[at] = step;
    ++heldCount_;
}

void PointerSequencer::removeHeld(std::size_t index) {
    for (std::size_t i = index + 1; i < heldCount_; ++i)
        held_[i - 1] = held_[i];
    --heldCount_;
}

void PointerSequencer::releaseHeld(std::vector<Message>& out) {
    while (heldCount_ > 0) {
        const Step front = held_[0];
        if (front.sequence > current_->highestApplied && front.boundary > current_->highestReliable)
            return;
        removeHeld(0);
        if (front.sequence > current_->highestApplied)
            apply(front, out);
    }
}

void PointerSequencer::apply(const Step& step, std::vector<Message>& out) {
    Session& session = *current_;
    session.highestApplied = step.sequence;
    if (step.isReliable() && step.sequence > session.highestReliable)
        session.highestReliable = step.sequence;

    float dx = narrowToFloat(step.x - session.x);
    float dy = narrowToFloat(step.y - session.y);
    if (std::isfinite(dx) && std::isfinite(dy)) {
        session.x += dx;
        session.y += dy;
    } else {
        // A jump beyond what a delta can express: take the phone's position as it is, without moving.
        session.x = step.x;
        session.y = step.y;
        dx = 0;
        dy = 0;
    }

    switch (step.kind) {
        case Kind::move:
            out.emplace_back(Message::Move{dx, dy});
            break;
        case Kind::drag:
            out.emplace_back(Message::Drag{step.phase, dx, dy});
            break;
        case Kind::tap:
            if (dx != 0 || dy != 0)
                out.emplace_back(Message::Move{dx, dy});
            out.emplace_back(Message::Tap{step.clickCount});
            break;
        case Kind::rightClick:
            if (dx != 0 || dy != 0)
                out.emplace_back(Message::Move{dx, dy});
            out.emplace_back(Message::RightClick{});
            break;
    }
}

}  // namespace TrackpadProtocol
