#pragma once
// Delivers a phone's messages the way the two channels do: reliable ones in order and exactly once,
// datagrams possibly lost, repeated or late, the two interleaved by their latencies.
#include <algorithm>
#include <random>
#include <vector>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol::testing_model {

struct ChannelModel {
    double datagramLoss = 0.2;
    double datagramDuplication = 0.1;
    double reliableLatency = 4;  // in units of the interval between two sent messages
    double datagramLatency = 6;
};

inline std::vector<Message> deliver(const std::vector<Message>& sent, const ChannelModel& model,
                                    std::mt19937& random) {
    std::uniform_real_distribution<double> unit(0, 1);
    struct Arrival {
        double time;
        std::size_t order;
        const Message* message;
    };
    std::vector<Arrival> arrivals;
    double lastReliable = 0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const double sentAt = static_cast<double>(i);
        if (sent[i].transport() == Transport::reliable) {
            lastReliable = std::max(lastReliable, sentAt + unit(random) * model.reliableLatency);
            arrivals.push_back({lastReliable, arrivals.size(), &sent[i]});
            continue;
        }
        if (unit(random) < model.datagramLoss)
            continue;
        arrivals.push_back({sentAt + unit(random) * model.datagramLatency, arrivals.size(), &sent[i]});
        if (unit(random) < model.datagramDuplication) {
            arrivals.push_back({sentAt + unit(random) * model.datagramLatency, arrivals.size(), &sent[i]});
        }
    }
    std::sort(arrivals.begin(), arrivals.end(), [](const Arrival& a, const Arrival& b) {
        return a.time != b.time ? a.time < b.time : a.order < b.order;
    });
    std::vector<Message> delivered;
    delivered.reserve(arrivals.size());
    for (const auto& arrival : arrivals)
        delivered.push_back(*arrival.message);
    return delivered;
}

}  // namespace TrackpadProtocol::testing_model
