#pragma once
// Sits between the producer of watch input and the sender: merges consecutive moves and consecutive plain
// scrolls, lets continuous input out at most once per interval and only while few sent messages wait for
// an answer, and lets every other message out at once. The caller supplies the time (seconds of one
// monotonic clock) and sends what it is given.
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

struct WatchInputBatcher {
    struct Configuration {
        double minimumInterval = 1.0 / 30;  // seconds between two releases of continuous input
        std::int64_t maximumInFlight = 2;   // sent messages that may wait for an answer
        double answerTimeout = 1.0;         // seconds after which an unanswered message stops counting
        static const Configuration standard;
        bool operator==(const Configuration&) const = default;
    };

    Configuration configuration;
    std::vector<Message> pending;
    std::deque<double> inFlight;  // send time of each released, unanswered message, oldest first
    std::optional<double> lastSend;

    explicit WatchInputBatcher(Configuration configuration = Configuration::standard)
        : configuration(configuration) {}

    // Adds the messages in order, merging continuous input, and returns what is ready now.
    std::vector<Message> enqueue(const std::vector<Message>& messages, double now);
    // One answer came back: the oldest send stops counting.
    std::vector<Message> answerReceived(double now);
    // Sends at least answerTimeout old stop counting.
    std::vector<Message> expireAnswers(double now);
    // Forgets pending and in-flight messages; the time of the last release stays.
    void reset();
    // When to call expireAnswers next; none when nothing waits. May lie in the past (due at once).
    std::optional<double> nextDeadline() const;
    std::int64_t inFlightCount() const { return static_cast<std::int64_t>(inFlight.size()); }

    // A move, or a scroll in the changed phase without a stamp.
    static bool isContinuous(const Message& message);

  private:
    void add(const Message& message);
    std::vector<Message> takeReady(double now);
};

inline const WatchInputBatcher::Configuration WatchInputBatcher::Configuration::standard{};

}  // namespace TrackpadProtocol
