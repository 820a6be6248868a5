#pragma once
// Showing the computer's screen on a phone: one session per connection, answering through the link.
//
// Thread: every call comes from the main queue.
#include "network/PairingTypes.h"
#include "network/ScreenViewLink.h"
#include "protocol/messages/Message.h"

namespace Shell {

class ScreenViewService {
  public:
    virtual ~ScreenViewService() = default;

    // screenViewStart, screenViewSelectDisplay, screenshotRequest, screenDisplaysRequest, screenViewStop:
    // finds or makes the connection's session, which answers through `send`.
    virtual void handle(const TrackpadProtocol::Message& message,
                        const CompanionNetwork::ScreenViewLink& link,
                        CompanionNetwork::ScreenViewLink::Send send) = 0;
    // The connection closed: its session stops.
    virtual void endSession(CompanionNetwork::ConnectionID connection) = 0;
    virtual void stopAll() = 0;
};

}  // namespace Shell
