#pragma once
// The phase grammar shared by streamed scroll, pinch and swipe input, and the bookkeeping that repairs a
// stream of it. A stroke is one gesture: began, any number of changes, ended; a scroll may go on after
// its end with momentum and close with momentumEnded. Phones number strokes and the messages inside them
// (StrokeStamp); messages without a stamp only get their phases repaired.
#include <array>
#include <cstdint>
#include <optional>

#include "protocol/messages/Types.h"

namespace TrackpadProtocol {

enum class StrokePhase : std::uint8_t { began, changed, ended, momentum, momentumEnded };

// Where a stroke stands: nothing open, between began and ended, ended (a scroll waiting for momentum),
// in momentum.
enum class StrokeStage : std::uint8_t { idle, active, ended, momentum };

// Whether `phase` belongs to the stroke standing at `stage` (possibly after phases that went missing),
// rather than going back in it. Nothing belongs to an idle stage.
bool continuesStroke(StrokeStage stage, StrokePhase phase);
// The stage after `phase`; without momentum an end closes the stroke.
StrokeStage stageAfter(StrokePhase phase, bool hasMomentum);

// True when stroke `a` is newer than `b` in 32-bit serial-number arithmetic.
constexpr bool isNewerStroke(std::uint32_t a, std::uint32_t b) {
    return a != b && static_cast<std::uint32_t>(a - b) < 0x8000'0000u;
}

class StrokeTracker {
  public:
    // What to emit for one message, in order: the phase that closes the previous stroke, the phases
    // supplied ahead of the message (with zero amounts), then the message itself.
    struct Decision {
        std::optional<StrokePhase> close;
        std::array<StrokePhase, 3> supplied{};
        std::uint8_t suppliedCount = 0;
        bool emit = false;
        // The message opens a stroke (the supplied phases, if any, belong to it).
        bool opens = false;
    };

    explicit StrokeTracker(bool hasMomentum) : hasMomentum_(hasMomentum) {}

    Decision step(StrokePhase phase, const std::optional<StrokeStamp>& stamp);
    // The phase that closes an open stroke, if one is open; forgets the stroke. A stroke that follows
    // is taken as it comes, whatever its number, so that a stream that starts over (another phone, a
    // restarted app) is not taken for an old one; with the closed stroke's own number it is taken when
    // it begins or its sequence starts again (a later message of that stroke is its late tail).
    std::optional<StrokePhase> finish();

    StrokeStage stage() const { return stage_; }

  private:
    std::optional<StrokePhase> closeOpen();
    void supplyAndEnter(StrokePhase phase, Decision& decision);
    void enter(StrokePhase phase);

    bool hasMomentum_;
    StrokeStage stage_ = StrokeStage::idle;
    bool anonymous_ = false;              // the open stroke came without stamps
    std::optional<std::uint32_t> known_;  // the newest stamped stroke
    std::uint32_t lastSequence_ = 0;
    bool knownClosed_ = false;
    bool startOver_ = false;
};

}  // namespace TrackpadProtocol
