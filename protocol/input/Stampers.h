#pragma once
// The phone's half of input sequencing: stamps that let the computer restore the order of streamed
// pointer, scroll, pinch and swipe input. One stamper per stream, used on the thread that sends.
#include <cstdint>
#include <optional>

#include "protocol/input/StrokeTracker.h"
#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

// Wraps pointer messages of one session into positioned messages. The session starts with its marker,
// sent reliably before anything else of the session.
class PointerStamper {
  public:
    explicit PointerStamper(UUID session);

    const UUID& session() const { return session_; }
    // positioned(move(0, 0)) with sequence 0, boundary 0 and position (0, 0).
    Message sessionStart() const;
    // The positioned form of a move, tap, drag or right click: the next sequence, the sequence of the
    // last reliable message stamped before it, and the position after its deltas. None for any other
    // message and for non-finite deltas, which no position could carry.
    std::optional<Message> stamp(const Message& message);

  private:
    UUID session_;
    std::uint64_t sequence_ = 0;
    std::uint64_t lastReliable_ = 0;
    double x_ = 0;
    double y_ = 0;
};

// Numbers the strokes of one kind of streamed gesture: a message that cannot continue the current
// stroke (began, or anything after the stroke's end) starts the next one; sequences count from 1.
class StrokeNumbering {
  public:
    explicit StrokeNumbering(bool hasMomentum, std::uint32_t firstStroke = 1);
    StrokeStamp next(StrokePhase phase);

  private:
    bool hasMomentum_;
    std::uint32_t stroke_;
    std::uint32_t sequence_ = 0;
    bool started_ = false;
    StrokeStage stage_ = StrokeStage::idle;
};

// Each returns a scroll / pinch / swipe-tracking message with its stamp set; any other message unchanged.
class ScrollStamper {
  public:
    explicit ScrollStamper(std::uint32_t firstStroke = 1) : numbering_(true, firstStroke) {}
    Message stamp(const Message& message);

  private:
    StrokeNumbering numbering_;
};

class PinchStamper {
  public:
    explicit PinchStamper(std::uint32_t firstStroke = 1) : numbering_(false, firstStroke) {}
    Message stamp(const Message& message);

  private:
    StrokeNumbering numbering_;
};

class SwipeStamper {
  public:
    explicit SwipeStamper(std::uint32_t firstStroke = 1) : numbering_(false, firstStroke) {}
    Message stamp(const Message& message);

  private:
    StrokeNumbering numbering_;
};

}  // namespace TrackpadProtocol
