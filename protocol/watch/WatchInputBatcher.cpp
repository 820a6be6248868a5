#include "protocol/watch/WatchInputBatcher.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace TrackpadProtocol {

namespace {

bool isPlainScroll(const Message& message) {
    const auto* scroll = message.as<Message::Scroll>();
    return scroll && scroll->phase == ScrollPhase::changed && !scroll->stamp;
}

// The configuration as it may be used: fields may be set to anything at any time. An interval or a
// time-out that is not a finite number of at least 0 is the standard one, and
// at least one message may be in flight, so that continuous input is never held for good.
WatchInputBatcher::Configuration usable(const WatchInputBatcher::Configuration& wanted) {
    const auto& standard = WatchInputBatcher::Configuration::standard;
    WatchInputBatcher::Configuration usable = wanted;
    if (!std::isfinite(usable.minimumInterval) || usable.minimumInterval < 0)
        usable.minimumInterval = standard.minimumInterval;
    if (!std::isfinite(usable.answerTimeout) || usable.answerTimeout < 0)
        usable.answerTimeout = standard.answerTimeout;
    usable.maximumInFlight = std::max<std::int64_t>(usable.maximumInFlight, 1);
    return usable;
}

}  // namespace

bool WatchInputBatcher::isContinuous(const Message& message) {
    return message.is<Message::Move>() || isPlainScroll(message);
}

void WatchInputBatcher::add(const Message& message) {
    if (!pending.empty()) {
        auto& last = pending.back();
        // A sum that overflows a float would make a message the codec refuses, losing both deltas; such a
        // pair stays two messages.
        auto merged = [](float a, float b, float c, float d) {
            return std::isfinite(a + b) && std::isfinite(c + d);
        };
        if (const auto* move = message.as<Message::Move>()) {
            if (auto* lastMove = std::get_if<Message::Move>(&last.value)) {
                if (merged(lastMove->dx, move->dx, lastMove->dy, move->dy)) {
                    lastMove->dx += move->dx;
                    lastMove->dy += move->dy;
                    return;
                }
            }
        } else if (isPlainScroll(message) && isPlainScroll(last)) {
            const auto* scroll = message.as<Message::Scroll>();
            auto* lastScroll = std::get_if<Message::Scroll>(&last.value);
            if (merged(lastScroll->dx, scroll->dx, lastScroll->dy, scroll->dy)) {
                lastScroll->dx += scroll->dx;
                lastScroll->dy += scroll->dy;
                return;
            }
        }
    }
    pending.push_back(message);
}

std::vector<Message> WatchInputBatcher::takeReady(double now) {
    if (pending.empty())
        return {};
    const bool allContinuous = std::all_of(pending.begin(), pending.end(), isContinuous);
    if (allContinuous) {
        const Configuration used = usable(configuration);
        if (inFlightCount() >= used.maximumInFlight)
            return {};
        // Compared as nextDeadline() reports it, a sum: a difference can round below the interval at the
        // very deadline, and a timer armed from that deadline would then fire again and again at once.
        if (lastSend && now < *lastSend + used.minimumInterval)
            return {};
    }
    std::vector<Message> released;
    released.swap(pending);
    lastSend = now;
    inFlight.insert(inFlight.end(), released.size(), now);
    return released;
}

std::vector<Message> WatchInputBatcher::enqueue(const std::vector<Message>& messages, double now) {
    for (const auto& message : messages)
        add(message);
    return takeReady(now);
}

std::vector<Message> WatchInputBatcher::answerReceived(double now) {
    if (!inFlight.empty())
        inFlight.pop_front();
    return takeReady(now);
}

std::vector<Message> WatchInputBatcher::expireAnswers(double now) {
    const double timeout = usable(configuration).answerTimeout;
    std::erase_if(inFlight, [&](double sent) { return sent + timeout <= now; });
    return takeReady(now);
}

void WatchInputBatcher::reset() {
    pending.clear();
    inFlight.clear();
}

std::optional<double> WatchInputBatcher::nextDeadline() const {
    const Configuration used = usable(configuration);
    std::optional<double> deadline;
    if (!inFlight.empty())
        deadline = inFlight.front() + used.answerTimeout;
    if (!pending.empty() && inFlightCount() < used.maximumInFlight) {
        const double due =
            lastSend ? *lastSend + used.minimumInterval : -std::numeric_limits<double>::infinity();
        deadline = deadline ? std::min(*deadline, due) : due;
    }
    return deadline;
}

}  // namespace TrackpadProtocol
