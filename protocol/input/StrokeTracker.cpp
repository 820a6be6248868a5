#include "protocol/input/StrokeTracker.h"

namespace TrackpadProtocol {

bool continuesStroke(StrokeStage stage, StrokePhase phase) {
    switch (stage) {
        case StrokeStage::idle:
            return false;
        case StrokeStage::active:
            return phase != StrokePhase::began;
        case StrokeStage::ended:
        case StrokeStage::momentum:
            return phase == StrokePhase::momentum || phase == StrokePhase::momentumEnded;
    }
    return false;
}

StrokeStage stageAfter(StrokePhase phase, bool hasMomentum) {
    switch (phase) {
        case StrokePhase::began:
        case StrokePhase::changed:
            return StrokeStage::active;
        case StrokePhase::ended:
            return hasMomentum ? StrokeStage::ended : StrokeStage::idle;
        case StrokePhase::momentum:
            return StrokeStage::momentum;
        case StrokePhase::momentumEnded:
            return StrokeStage::idle;
    }
    return StrokeStage::idle;
}

StrokeTracker::Decision StrokeTracker::step(StrokePhase phase, const std::optional<StrokeStamp>& stamp) {
    Decision decision;
    if (stamp) {
        // After a start-over the last stroke's number may open a new stroke: a new session numbers as it
        // likes. Only what still reads as that stroke's late tail (a later message, not a begin) is its own.
        const bool restarts = startOver_ && (phase == StrokePhase::began || stamp->sequence <= lastSequence_);
        if (known_ && stamp->stroke == *known_ && !restarts) {
            // A stroke's own messages: repeats, older sequences and phases that would go back are dropped.
            if (knownClosed_ || stamp->sequence <= lastSequence_ || !continuesStroke(stage_, phase)) {
                return decision;
            }
            lastSequence_ = stamp->sequence;
        } else if (!known_ || startOver_ || isNewerStroke(stamp->stroke, *known_)) {
            // A stroke opened by unstamped messages becomes this one when the phase fits it: that is how
            // phases supplied without a stamp by an earlier pass lead into their stroke.
            const bool adopts = stage_ != StrokeStage::idle && anonymous_ && continuesStroke(stage_, phase);
            if (!adopts) {
                decision.close = closeOpen();
                decision.opens = true;
            }
            known_ = stamp->stroke;
            lastSequence_ = stamp->sequence;
            knownClosed_ = false;
            startOver_ = false;
            anonymous_ = false;
        } else {
            return decision;  // an older stroke
        }
        supplyAndEnter(phase, decision);
        decision.emit = true;
        return decision;
    }

    if (stage_ != StrokeStage::idle && continuesStroke(stage_, phase)) {
        supplyAndEnter(phase, decision);
        decision.emit = true;
        return decision;
    }
    if (phase == StrokePhase::ended || phase == StrokePhase::momentumEnded)
        return decision;  // nothing to end
    decision.close = closeOpen();
    decision.opens = true;
    supplyAndEnter(phase, decision);
    anonymous_ = true;
    decision.emit = true;
    return decision;
}

std::optional<StrokePhase> StrokeTracker::finish() {
    auto closing = closeOpen();
    if (known_) {
        knownClosed_ = true;
        startOver_ = true;
    }
    return closing;
}

std::optional<StrokePhase> StrokeTracker::closeOpen() {
    std::optional<StrokePhase> closing;
    if (stage_ == StrokeStage::active)
        closing = StrokePhase::ended;
    if (stage_ == StrokeStage::momentum)
        closing = StrokePhase::momentumEnded;
    if (stage_ != StrokeStage::idle && !anonymous_ && known_)
        knownClosed_ = true;
    stage_ = StrokeStage::idle;
    anonymous_ = false;
    return closing;
}

void StrokeTracker::supplyAndEnter(StrokePhase phase, Decision& decision) {
    auto supply = [&](StrokePhase missing) {
        decision.supplied[decision.suppliedCount++] = missing;
        enter(missing);
    };
    if (stage_ == StrokeStage::idle && phase != StrokePhase::began)
        supply(StrokePhase::began);
    if (phase == StrokePhase::momentum || phase == StrokePhase::momentumEnded) {
        if (stage_ == StrokeStage::active)
            supply(StrokePhase::ended);
        if (phase == StrokePhase::momentumEnded && stage_ == StrokeStage::ended)
            supply(StrokePhase::momentum);
    }
    enter(phase);
}

void StrokeTracker::enter(StrokePhase phase) {
    stage_ = stageAfter(phase, hasMomentum_);
    if (stage_ == StrokeStage::idle) {
        if (!anonymous_ && known_)
            knownClosed_ = true;
        anonymous_ = false;
    }
}

}  // namespace TrackpadProtocol
