#pragma once
// Repair of streamed scroll, pinch and swipe-tracking input on the computer: stale and repeated stamped
// messages are dropped, a newer stroke first closes an open older one, and missing began, ended (and for
// scrolls, momentum) messages are supplied with zero amounts and without a stamp. Their output passes a
// second sequencer unchanged, since the gesture engine runs pinches and swipes through one per phone and
// one of its own. Plain values, used on the main thread.
#include <cstdint>
#include <vector>

#include "protocol/input/StrokeTracker.h"
#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

class PinchSequencer {
  public:
    PinchSequencer() = default;
    // Takes a gesture(.pinch) message and returns the messages to carry out, in order; any other
    // message comes back unchanged.
    std::vector<Message> process(const Message& message);
    void process(const Message& message, std::vector<Message>& out);
    // One pinch ended with magnification 0 when a stroke is open; closes it.
    std::vector<Message> finish();
    void finish(std::vector<Message>& out);

  private:
    StrokeTracker tracker_{false};
};

class SwipeSequencer {
  public:
    SwipeSequencer() = default;
    // Takes a gesture(.swipeTracking) message, as PinchSequencer::process does.
    std::vector<Message> process(const Message& message);
    void process(const Message& message, std::vector<Message>& out);
    // One swipe-tracking ended with the stroke's finger count and dx, dy 0 when a stroke is open.
    std::vector<Message> finish();
    void finish(std::vector<Message>& out);

  private:
    StrokeTracker tracker_{false};
    std::uint8_t fingers_ = 0;
};

// One per phone in the listener, whose idle timeout, flush, close and forget call finish().
class ScrollSequencer {
  public:
    ScrollSequencer() = default;
    // Takes a scroll message; any other message comes back unchanged.
    std::vector<Message> process(const Message& message);
    void process(const Message& message, std::vector<Message>& out);
    // scroll(0, 0, ended) when a stroke is open, scroll(0, 0, momentumEnded) while in momentum.
    std::vector<Message> finish();
    void finish(std::vector<Message>& out);

  private:
    StrokeTracker tracker_{true};
};

}  // namespace TrackpadProtocol
