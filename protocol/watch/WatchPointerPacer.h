#pragma once
// Smooths pointer and scroll deltas that arrive from the watch in bursts: each delta is spread evenly over
// a window that follows the observed time between arrivals, and the caller's regular ticks release the
// share that is due. Times are seconds of one monotonic clock chosen by the caller. Allocates nothing
// beyond the messages it returns.
#include <optional>
#include <vector>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

struct WatchPointerPacer {
    struct Configuration {
        double shortestSpread = 1.0 / 120;
        double longestSpread = 0.05;
        double initialSpread = 1.0 / 30;  // the window of a stream's first delta
        static const Configuration standard;
        bool operator==(const Configuration&) const = default;
    };
    enum class Kind { move, scroll };
    struct Pending {
        Kind kind = Kind::move;
        double dx = 0;  // not yet released
        double dy = 0;
        double time = 0;      // when the delta was last added to or released from
        double deadline = 0;  // by when all of it is released
        bool operator==(const Pending&) const = default;
    };
    struct Arrival {
        double time = 0;
        Kind kind = Kind::move;
        bool operator==(const Arrival&) const = default;
    };

    Configuration configuration;
    std::optional<Pending> pending;
    std::optional<Arrival> lastArrival;

    // A configuration with a spread that is not a finite, non-negative number, or with the shortest
    // spread above the longest, is replaced by the standard one: here, and wherever one set later is
    // used.
    explicit WatchPointerPacer(Configuration configuration = Configuration::standard);

    // Appends the messages to send now to `out`: paced kinds (a finite move; a finite, unstamped scroll in
    // the changed phase) become pending, anything else goes out at once after the pending delta.
    void add(const Message& message, double now, std::vector<Message>& out);
    std::vector<Message> add(const Message& message, double now);
    // The share of the pending delta due by `now`, if any.
    std::optional<Message> tick(double now);
    // The whole pending delta at once, if any.
    std::optional<Message> flush();
    // Forgets the pending delta and the last arrival without emitting anything.
    void reset();
    bool isIdle() const { return !pending.has_value(); }
};

inline const WatchPointerPacer::Configuration WatchPointerPacer::Configuration::standard{};

}  // namespace TrackpadProtocol
