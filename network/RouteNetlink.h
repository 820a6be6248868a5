#pragma once
// Reading the kernel's interfaces and addresses over rtnetlink, and judging from them whether the
// computer is on a network. The parsing takes any bytes: what it cannot read, it skips.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "network/PathMonitor.h"

namespace CompanionNetwork {

struct NetworkLink {
    int index = 0;
    std::uint32_t flags = 0;  // IFF_*
    std::string name;
};

struct NetworkAddress {
    int interfaceIndex = 0;
    std::uint8_t family = 0;  // AF_INET or AF_INET6
    std::uint32_t flags = 0;  // IFA_F_*, the 32-bit attribute when the kernel sends it
    std::uint8_t scope = 0;   // RT_SCOPE_*
};

struct RouteSnapshot {
    std::vector<NetworkLink> links;
    std::vector<NetworkAddress> addresses;
};

enum class RouteParse {
    more,         // the dump goes on in the next datagram
    done,         // NLMSG_DONE: the dump is complete
    interrupted,  // the kernel's tables changed during the dump; it must be taken again
    failed,       // the kernel answered with an error
};

// Adds the RTM_NEWLINK and RTM_NEWADDR records of one netlink datagram to `snapshot`.
RouteParse parseRouteDatagram(std::span<const std::uint8_t> datagram, RouteSnapshot& snapshot);

// Satisfied when an interface that is up and running, other than loopback, has an address that is
// neither host-scoped nor still tentative (IPv6 link-local addresses count: the service is local).
PathStatus evaluatePath(const RouteSnapshot& snapshot);

// Dumps the kernel's links and addresses through a new rtnetlink socket (of the calling thread's network
// namespace). Throws std::system_error when the kernel cannot be asked.
RouteSnapshot readRouteSnapshot();

}  // namespace CompanionNetwork
