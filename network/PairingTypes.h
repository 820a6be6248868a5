#pragma once
// The values the pairing coordinator reports: the pairing in progress, how a pairing ended, and the
// events that tell the application what changed.
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "network/TrustedDevice.h"
#include "protocol/security/PairingCode.h"

namespace CompanionNetwork {

using TrackpadProtocol::PairingCode;

// The listener's number for one TLS connection.
struct ConnectionID {
    std::uint64_t value = 0;
    friend auto operator<=>(const ConnectionID&, const ConnectionID&) = default;
};

// The pairing in progress, as the pairing panel shows it.
struct PendingPairing {
    UUID deviceID;
    std::string deviceName;  // the phone's name as it asked to pair
    PairingCode code;
    Date issuedAt;
    Date expiresAt;          // issuedAt plus the code lifetime
    int failedAttempts = 0;  // wrong codes entered so far for this code
    bool operator==(const PendingPairing&) const = default;
};

struct PairingOutcome {
    struct Paired {
        std::string deviceName;
        bool operator==(const Paired&) const = default;
    };
    struct WrongCodeLockout {
        bool operator==(const WrongCodeLockout&) const = default;
    };
    struct Expired {
        bool operator==(const Expired&) const = default;
    };
    struct Cancelled {
        bool operator==(const Cancelled&) const = default;
    };
    struct Disconnected {
        bool operator==(const Disconnected&) const = default;
    };
    struct Declined {
        bool operator==(const Declined&) const = default;
    };
    std::variant<Paired, WrongCodeLockout, Expired, Cancelled, Disconnected, Declined> kind;

    static PairingOutcome paired(std::string deviceName) { return {Paired{std::move(deviceName)}}; }
    static PairingOutcome wrongCodeLockout() { return {WrongCodeLockout{}}; }
    static PairingOutcome expired() { return {Expired{}}; }
    static PairingOutcome cancelled() { return {Cancelled{}}; }
    static PairingOutcome disconnected() { return {Disconnected{}}; }
    static PairingOutcome declined() { return {Declined{}}; }

    template <class Case>
    bool is() const {
        return std::holds_alternative<Case>(kind);
    }
    bool operator==(const PairingOutcome&) const = default;
};

struct PairingEvent {
    // The pairing in progress is new or changed, or has ended (none).
    struct PendingPairingChanged {
        std::optional<PendingPairing> pairing;
        bool operator==(const PendingPairingChanged&) const = default;
    };
    struct PairingFinished {
        PairingOutcome outcome;
        bool operator==(const PairingFinished&) const = default;
    };
    // The whole trusted list after a change.
    struct TrustedDevicesChanged {
        std::vector<TrustedDevice> devices;
        bool operator==(const TrustedDevicesChanged&) const = default;
    };
    // The whole set of phones that now have a session.
    struct ConnectedDevicesChanged {
        std::set<UUID> devices;
        bool operator==(const ConnectedDevicesChanged&) const = default;
    };
    // Every session of one phone has ended; the new connected set follows as its own event.
    struct SessionsRevoked {
        UUID deviceID;
        bool operator==(const SessionsRevoked&) const = default;
    };
    using Kind = std::variant<PendingPairingChanged, PairingFinished, TrustedDevicesChanged,
                              ConnectedDevicesChanged, SessionsRevoked>;

    template <class Case, class = std::enable_if_t<std::is_constructible_v<Kind, Case&&> &&
                                                   !std::is_same_v<std::decay_t<Case>, PairingEvent>>>
    PairingEvent(Case&& value) : kind(std::forward<Case>(value)) {}  // NOLINT(google-explicit-constructor)

    Kind kind;

    template <class Case>
    const Case* as() const {
        return std::get_if<Case>(&kind);
    }
    bool operator==(const PairingEvent&) const = default;
};

}  // namespace CompanionNetwork

template <>
struct std::hash<CompanionNetwork::ConnectionID> {
    std::size_t operator()(const CompanionNetwork::ConnectionID& id) const noexcept {
        return std::hash<std::uint64_t>{}(id.value);
    }
};
