#pragma once
// Which phone controls the pointer. A plain value owned by the runtime on the main thread.
#include <optional>

#include "protocol/messages/Uuid.h"

namespace CompanionNetwork {

struct InputOwnership {
    enum class Decision { deliver, drop, takeControl };

    std::optional<TrackpadProtocol::UUID> controller;

    // Makes `device` the controller; false (and nothing changes) when it already is.
    bool takeControl(const TrackpadProtocol::UUID& device) {
        if (controller == device)
            return false;
        controller = device;
        return true;
    }

    // deliver for the controller, drop for every other phone and when nobody controls the pointer.
    // takeControl is never returned.
    Decision decision(const TrackpadProtocol::UUID& device) const {
        return controller == device ? Decision::deliver : Decision::drop;
    }

    bool operator==(const InputOwnership&) const = default;
};

}  // namespace CompanionNetwork
