#pragma once
// The pairing panel's and the menu's view of pairing, folded from the coordinator's events.
#include <variant>

#include "network/PairingTypes.h"

namespace CompanionNetwork {

struct PairingProgress {
    struct Waiting {
        PendingPairing pairing;
        bool operator==(const Waiting&) const = default;
    };
    struct Succeeded {
        std::string deviceName;
        bool operator==(const Succeeded&) const = default;
    };
    struct Failed {
        PairingOutcome outcome;
        bool operator==(const Failed&) const = default;
    };
    struct Idle {
        bool operator==(const Idle&) const = default;
    };
    std::variant<Waiting, Succeeded, Failed, Idle> kind{Idle{}};

    static PairingProgress waiting(PendingPairing pairing) { return {Waiting{std::move(pairing)}}; }
    static PairingProgress succeeded(std::string deviceName) { return {Succeeded{std::move(deviceName)}}; }
    static PairingProgress failed(PairingOutcome outcome) { return {Failed{std::move(outcome)}}; }
    static PairingProgress idle() { return {Idle{}}; }

    // The progress after `event`: a pairing shown is waiting; its end without an outcome goes back to
    // idle only from waiting (an outcome shown stays); an outcome is success or failure; other events
    // change nothing.
    PairingProgress applying(const PairingEvent& event) const;
    // succeeded or failed become idle (true); waiting and idle stay (false).
    bool clearFinished();

    template <class Case>
    bool is() const {
        return std::holds_alternative<Case>(kind);
    }
    bool operator==(const PairingProgress&) const = default;
};

}  // namespace CompanionNetwork
