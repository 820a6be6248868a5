#include "network/PairingProgress.h"

namespace CompanionNetwork {

PairingProgress PairingProgress::applying(const PairingEvent& event) const {
    if (const auto* changed = event.as<PairingEvent::PendingPairingChanged>()) {
        if (changed->pairing)
            return waiting(*changed->pairing);
        return is<Waiting>() ? idle() : *this;
    }
    if (const auto* finished = event.as<PairingEvent::PairingFinished>()) {
        if (const auto* paired = std::get_if<PairingOutcome::Paired>(&finished->outcome.kind))
            return succeeded(paired->deviceName);
        return failed(finished->outcome);
    }
    return *this;
}

bool PairingProgress::clearFinished() {
    if (!is<Succeeded>() && !is<Failed>())
        return false;
    kind = Idle{};
    return true;
}

}  // namespace CompanionNetwork
