#pragma once
// What the listener hands the screen-view host with each screen-view request: the connection, the
// phone's device id, and a way to send messages on that connection.
#include <functional>
#include <vector>

#include "network/PairingTypes.h"
#include "protocol/messages/Message.h"
#include "protocol/messages/Uuid.h"

namespace CompanionNetwork {

struct ScreenViewLink {
    using Completion = std::function<void()>;
    using Send = std::function<void(std::vector<TrackpadProtocol::Message>, Completion)>;

    ConnectionID connection;
    TrackpadProtocol::UUID deviceID;
    // Frames each message (one that cannot be framed is skipped) and sends all frames as one write on
    // the connection, then calls the completion once the connection has processed the write; an error
    // in the write closes the connection and the completion runs all the same. When the connection is
    // gone or no longer has a session for `deviceID`, or there is nothing to send, the completion runs
    // at once and nothing is sent. Runs on the listener's queue (a call from another thread hops there);
    // the completion is called there.
    Send send;
};

}  // namespace CompanionNetwork
