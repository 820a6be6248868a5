#include "protocol/watch/WatchPointerPacer.h"

#include <algorithm>
#include <cmath>

#include "protocol/messages/FloatNarrowing.h"

namespace TrackpadProtocol {

namespace {

bool usable(double spread) {
    return std::isfinite(spread) && spread >= 0;
}

// The fields may be set to anything at any time; a window from unusable ones would hold a delta for good
// (a NaN deadline is never reached) and clamping with the bounds swapped is undefined.
WatchPointerPacer::Configuration usable(const WatchPointerPacer::Configuration& wanted) {
    if (!usable(wanted.shortestSpread) || !usable(wanted.longestSpread) || !usable(wanted.initialSpread) ||
        wanted.shortestSpread > wanted.longestSpread)
        return WatchPointerPacer::Configuration::standard;
    return wanted;
}

struct Paced {
    WatchPointerPacer::Kind kind;
    double dx;
    double dy;
};

std::optional<Paced> pacedKind(const Message& message) {
    if (const auto* move = message.as<Message::Move>()) {
        if (std::isfinite(move->dx) && std::isfinite(move->dy))
            return Paced{WatchPointerPacer::Kind::move, move->dx, move->dy};
        return std::nullopt;
    }
    if (const auto* scroll = message.as<Message::Scroll>()) {
        if (scroll->phase == ScrollPhase::changed && !scroll->stamp && std::isfinite(scroll->dx) &&
            std::isfinite(scroll->dy))
            return Paced{WatchPointerPacer::Kind::scroll, scroll->dx, scroll->dy};
    }
    return std::nullopt;
}

Message emitted(WatchPointerPacer::Kind kind, float dx, float dy) {
    if (kind == WatchPointerPacer::Kind::move)
        return Message::Move{dx, dy};
    return Message::Scroll{dx, dy, ScrollPhase::changed, std::nullopt};
}

// A float that is not finite has no wire form; the whole remainder goes out as the largest float of its
// sign instead, which the receiver can still act on.
float finite(float value) {
    if (std::isfinite(value))
        return value;
    if (std::isnan(value))
        return 0;
    return value > 0 ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest();
}

}  // namespace

WatchPointerPacer::WatchPointerPacer(Configuration wanted) : configuration(usable(wanted)) {}

std::optional<Message> WatchPointerPacer::flush() {
    if (!pending)
        return std::nullopt;
    const auto kind = pending->kind;
    const float dx = finite(narrowToFloat(pending->dx));
    const float dy = finite(narrowToFloat(pending->dy));
    pending.reset();
    if (dx == 0 && dy == 0)
        return std::nullopt;
    return emitted(kind, dx, dy);
}

std::optional<Message> WatchPointerPacer::tick(double now) {
    if (!pending)
        return std::nullopt;
    if (now >= pending->deadline)
        return flush();
    if (pending->time >= now)
        return std::nullopt;
    const double fraction = (now - pending->time) / (pending->deadline - pending->time);
    const float dx = finite(narrowToFloat(pending->dx * fraction));
    const float dy = finite(narrowToFloat(pending->dy * fraction));
    pending->time = now;
    if (dx == 0 && dy == 0)
        return std::nullopt;
    // Subtracting exactly what goes out keeps the released and the remaining parts adding up to what came
    // in, whatever the rounding to floats did.
    pending->dx -= static_cast<double>(dx);
    pending->dy -= static_cast<double>(dy);
    return emitted(pending->kind, dx, dy);
}

void WatchPointerPacer::add(const Message& message, double now, std::vector<Message>& out) {
    const auto paced = pacedKind(message);
    if (!paced) {
        if (auto rest = flush())
            out.push_back(std::move(*rest));
        out.push_back(message);
        return;
    }
    if (auto due = tick(now))
        out.push_back(std::move(*due));
    if (pending && pending->kind != paced->kind) {
        if (auto rest = flush())
            out.push_back(std::move(*rest));
    }
    const Configuration used = usable(configuration);
    double window = used.initialSpread;
    if (lastArrival && lastArrival->kind == paced->kind) {
        const double gap = now - lastArrival->time;
        if (gap <= 2 * used.longestSpread)
            window = std::clamp(gap, used.shortestSpread, used.longestSpread);
    }
    lastArrival = Arrival{now, paced->kind};
    const double dx = (pending ? pending->dx : 0) + paced->dx;
    const double dy = (pending ? pending->dy : 0) + paced->dy;
    pending = Pending{paced->kind, dx, dy, now, now + window};
}

std::vector<Message> WatchPointerPacer::add(const Message& message, double now) {
    std::vector<Message> out;
    add(message, now, out);
    return out;
}

void WatchPointerPacer::reset() {
    pending.reset();
    lastArrival.reset();
}

}  // namespace TrackpadProtocol
