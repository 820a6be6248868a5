#pragma once
// The DNS-SD advertisement of the companion's two services, as a seam: Avahi in the process
// (AvahiServiceAdvertiser), an in-memory recording one and an absent one in tests.
// Every implementation lives on one executor's thread (the main EventLoop): call it there, and its state
// handler is called there, never from inside advertise() or withdraw().
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/messages/Uuid.h"

namespace CompanionNetwork {

inline constexpr std::string_view serviceTypeTCP = "_vornelis._tcp";
inline constexpr std::string_view serviceTypeUDP = "_vornelis._udp";
inline constexpr std::string_view serviceDomain = "local.";
// A DNS label holds at most 63 bytes, and the instance name is one label.
inline constexpr std::size_t maxInstanceNameBytes = 63;

struct TXTRecord {
    std::string key;
    std::string value;
    friend bool operator==(const TXTRecord&, const TXTRecord&) = default;
};

// Both service types are registered under the same instance name with the same TXT records.
struct ServiceAdvertisement {
    std::string instanceName;  // cut with advertisedInstanceName by the advertiser
    std::uint16_t tcpPort = 0;
    std::uint16_t udpPort = 0;
    std::vector<TXTRecord> txt;
    friend bool operator==(const ServiceAdvertisement&, const ServiceAdvertisement&) = default;
};

class ServiceAdvertiser {
public:
    // Both services are registered under `instanceName`, which differs from the requested one after a
    // name collision on the network.
    struct Advertising {
        std::string instanceName;
        friend bool operator==(const Advertising&, const Advertising&) = default;
    };
    // No DNS-SD daemon to register with (not installed, not running, or gone). The advertiser keeps
    // trying and reports Advertising once the daemon is back; the services themselves are unaffected.
    struct Unavailable {
        std::string reason;
        friend bool operator==(const Unavailable&, const Unavailable&) = default;
    };
    // The daemon refused the registration; nothing more happens until the next advertise().
    struct Failed {
        std::string reason;
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    using State = std::variant<Advertising, Unavailable, Failed>;
    using StateHandler = std::function<void(const State&)>;

    virtual ~ServiceAdvertiser() = default;

    // Called for each change of state while an advertisement is wanted (never after withdraw()).
    virtual void setStateHandler(StateHandler handler) = 0;
    // Registers both services, replacing any earlier advertisement of this advertiser.
    virtual void advertise(ServiceAdvertisement advertisement) = 0;
    // Removes the services; a no-op when nothing is advertised. Reports nothing.
    virtual void withdraw() = 0;
};

// The instance name as registered: invalid UTF-8 and NUL bytes replaced by U+FFFD (D-Bus refuses such
// strings), then cut to at most 63 bytes without splitting a character.
std::string advertisedInstanceName(std::string_view name);

// The TXT records: "id" (the host id, upper case), "v" ("1") and "hw", the first three well-formed
// hardware addresses ("aa:bb:cc:dd:ee:ff", either case, written in lower case) joined by ","; "hw" is
// left out when there is none. Malformed addresses are skipped.
std::vector<TXTRecord> makeServiceTXT(const TrackpadProtocol::UUID& hostID,
                                      std::span<const std::string> wakeAddresses);

}  // namespace CompanionNetwork
