#pragma once
// Small helpers shared by the two halves of the pairing coordinator's implementation; not for other users.
#include <chrono>
#include <deque>

#include "network/Durations.h"
#include "network/PairingCoordinator.h"
#include "protocol/messages/Secrets.h"

namespace CompanionNetwork {

// The pairing in progress with what it needs to start a new run after a wrong code.
struct PairingCoordinator::Pending {
    ConnectionID connection;
    PendingPairing info;
    TrackpadProtocol::Bytes32 exporter{};
    std::unique_ptr<PairingExchange> exchange;

    Pending(ConnectionID connection, PendingPairing info, const TrackpadProtocol::Bytes32& exporter,
            std::unique_ptr<PairingExchange> exchange)
        : connection(connection), info(std::move(info)), exporter(exporter), exchange(std::move(exchange)) {}
    ~Pending() { TrackpadProtocol::wipe(exporter); }
};

inline Date::duration toDuration(double seconds) {
    return std::chrono::round<Date::duration>(std::chrono::duration<double>(clampedSeconds(seconds)));
}

inline double toSeconds(Date::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// Keeps the times that lie within `window` seconds before `now`. Times after `now` (the clock was set
// back) are dropped too, so that they cannot hold a limit in force for longer than the window.
inline void pruneWindow(std::deque<Date>& times, Date now, double window) {
    const auto span = toDuration(window);
    std::erase_if(times, [&](Date time) { return time > now || now - time >= span; });
}

inline PairingCoordinator::Action reply(TrackpadProtocol::Message message) {
    return {PairingCoordinator::Action::Reply{std::move(message)}};
}

inline PairingCoordinator::Action rejection(TrackpadProtocol::PairingRejection reason) {
    return reply(TrackpadProtocol::Message::PairingRejected{reason});
}

template <class Kind>
PairingCoordinator::Action action(const TrackpadProtocol::Message& message, const UUID& deviceID) {
    return {Kind{message, deviceID}};
}

}  // namespace CompanionNetwork
