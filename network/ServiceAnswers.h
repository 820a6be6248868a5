#pragma once
// The answers a phone gets for a request no service takes: the computer does not serve the feature, the
// application has no service for it, or the service failed. Every request that awaits an answer gets
// one, so that a phone never waits for it forever.
#include <vector>

#include "protocol/messages/Message.h"

namespace CompanionNetwork {

enum class ServiceFault {
    // There is no such service: it lists no displays and no apps, opens nothing, unlocks nothing.
    absent,
    // The service threw while taking the request.
    failed,
};

// The messages that answer `request` (in order, on its connection); none for a message that awaits no
// answer (input, annotations, pictures, subscriptions).
//   apps: an empty list part; appIcon without an image; openAppResult `failed`.
//   screen: an empty display list; screenViewStatus `displayUnavailable` (absent) or `failed` for a
//   start, `stopped` without a display for a display choice or a stop; a screenshot of status
//   `displayUnavailable` (absent) or `failed`, with the request's number as transfer number.
//   volume: `VolumeStatus.unsupported`. unlock: unlockResult `notAllowed`.
std::vector<TrackpadProtocol::Message> unservedAnswer(const TrackpadProtocol::Message& request,
                                                      ServiceFault fault);

}  // namespace CompanionNetwork
