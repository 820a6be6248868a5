#pragma once
// Which way each message from a phone goes, and which offered feature it needs. The pairing coordinator
// applies these rules; they live apart so that every one of the 51 cases is named once, here.
#include <optional>

#include "protocol/messages/Message.h"

namespace CompanionNetwork {

enum class MessageRoute {
    computerOnly,  // only the computer sends it; a phone that does is not speaking the protocol
    pairing,       // pairing request, response and cancel: no session needed
    session,       // session request: no session needed
    probe,         // answered at once, with or without a session
    deliver,       // input and overlays, for onMessage
    answer,        // app requests, for onAppRequest
    screenView,    // screen-view and screenshot requests
    unlock,
    volume,
    subscribe,
    unsubscribe,
};

MessageRoute routeOf(const TrackpadProtocol::Message& message);

// The feature the computer must offer for the message to be carried out; none when it needs none.
std::optional<TrackpadProtocol::HostFeatures> requiredFeature(const TrackpadProtocol::Message& message);

// The subscriptions that the offered features allow (now playing needs no feature).
TrackpadProtocol::Subscriptions allowedSubscriptions(TrackpadProtocol::HostFeatures features);

}  // namespace CompanionNetwork
