#pragma once
// Restores the order of one phone's positioned pointer messages, which arrive over two channels: the
// reliable one in order, datagrams possibly lost, repeated or overtaking. A plain value; the injector keeps
// one per phone on the main thread.
//
// Each stamp names the phone's pointer session, the message's sequence in it, the boundary (the sequence of
// the last reliable message sent before it) and the phone's running position. A message waits until its
// boundary has been applied, so nothing overtakes a tap, a drag's start or its end; older and repeated
// sequences are dropped; and moves and drags are rebuilt from the positions, so a lost datagram costs no
// distance.
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

class PointerSequencer {
  public:
    static constexpr std::size_t retiredSessionCapacity = 8;
    static constexpr std::size_t heldCapacity = 64;

    PointerSequencer() = default;

    // Takes one positioned message and returns the plain messages (moves, taps, drags, right clicks) to
    // apply now, in order, possibly none. A session-start marker of a new session gives exactly
    // [drag(ended, 0, 0)]; the marker of the current or a retired session gives nothing. Other cases,
    // other inner messages, non-finite positions and messages of a session whose marker has not come
    // give nothing. Never fails.
    std::vector<Message> accept(const Message& message);
    // The same, appending to `out`; does not allocate once `out` has room.
    void accept(const Message& message, std::vector<Message>& out);

    // How many messages wait for their boundary.
    std::size_t heldCount() const { return heldCount_; }

  private:
    enum class Kind : std::uint8_t { move, tap, drag, rightClick };
    struct Step {
        std::uint64_t sequence = 0;
        std::uint64_t boundary = 0;
        double x = 0;
        double y = 0;
        Kind kind = Kind::move;
        DragPhase phase = DragPhase::began;
        std::uint8_t clickCount = 0;
        bool isReliable() const;
    };
    struct Session {
        UUID id;
        std::uint64_t highestApplied = 0;
        std::uint64_t highestReliable = 0;
        // The position the applied messages add up to, kept in the floats they were sent as, so that
        // rounding never drifts away from the phone's position.
        double x = 0;
        double y = 0;
    };

    bool isRetired(const UUID& id) const;
    void adopt(const UUID& id);
    void hold(const Step& step);
    void apply(const Step& step, std::vector<Message>& out);
    void releaseHeld(std::vector<Message>& out);
    void removeHeld(std::size_t index);

    std::optional<Session> current_;
    std::array<UUID, retiredSessionCapacity> retired_{};
    std::size_t retiredCount_ = 0;
    std::size_t retiredNext_ = 0;
    std::array<Step, heldCapacity> held_{};  // ascending sequence
    std::size_t heldCount_ = 0;
};

}  // namespace TrackpadProtocol
