#include "network/RouteNetlink.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace CompanionNetwork {
namespace {

using Bytes = std::vector<std::uint8_t>;

void appendRaw(Bytes& out, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
    out.resize((out.size() + 3) & ~std::size_t{3}, 0);
}

void appendAttribute(Bytes& out, std::uint16_t type, const void* data, std::size_t size) {
    const rtattr header{static_cast<unsigned short>(sizeof(rtattr) + size), type};
    out.insert(out.end(), reinterpret_cast<const std::uint8_t*>(&header),
               reinterpret_cast<const std::uint8_t*>(&header) + sizeof header);
    appendRaw(out, data, size);
}

void appendMessage(Bytes& out, std::uint16_t type, const Bytes& payload, std::uint16_t flags = NLM_F_MULTI) {
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(sizeof header + payload.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = flags;
    appendRaw(out, &header, sizeof header);
    out.insert(out.end(), payload.begin(), payload.end());
}

Bytes link(int index, unsigned flags, const char* name) {
    ifinfomsg info{};
    info.ifi_family = AF_UNSPEC;
    info.ifi_index = index;
    info.ifi_flags = flags;
    Bytes payload;
    appendRaw(payload, &info, sizeof info);
    appendAttribute(payload, IFLA_IFNAME, name, std::strlen(name) + 1);
    return payload;
}

Bytes address(int index, std::uint8_t family, std::uint8_t flags, std::uint8_t scope,
              std::optional<std::uint32_t> longFlags = std::nullopt) {
    ifaddrmsg info{};
    info.ifa_family = family;
    info.ifa_flags = flags;
    info.ifa_scope = scope;
    info.ifa_index = static_cast<std::uint32_t>(index);
    Bytes payload;
    appendRaw(payload, &info, sizeof info);
    const std::uint8_t ip[4] = {192, 168, 1, 20};
    appendAttribute(payload, IFA_ADDRESS, ip, sizeof ip);
    if (longFlags)
        appendAttribute(payload, IFA_FLAGS, &*longFlags, sizeof *longFlags);
    return payload;
}

Bytes done() {
    Bytes out;
    const int zero = 0;
    Bytes payload;
    appendRaw(payload, &zero, sizeof zero);
    appendMessage(out, NLMSG_DONE, payload);
    return out;
}

Bytes sampleDump() {
    Bytes out;
    appendMessage(out, RTM_NEWLINK, link(1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK, "lo"));
    appendMessage(out, RTM_NEWLINK, link(2, IFF_UP | IFF_RUNNING | IFF_BROADCAST, "enp3s0"));
    appendMessage(out, RTM_NEWADDR, address(2, AF_INET, 0, RT_SCOPE_UNIVERSE));
    appendMessage(out, RTM_NEWADDR, address(2, AF_INET6, 0, RT_SCOPE_LINK, IFA_F_TENTATIVE | IFA_F_NOPREFIXROUTE));
    const Bytes end = done();
    out.insert(out.end(), end.begin(), end.end());
    return out;
}

TEST(RouteNetlinkParse, ReadsLinksAndAddressesUntilDone) {
    RouteSnapshot snapshot;
    ASSERT_EQ(parseRouteDatagram(sampleDump(), snapshot), RouteParse::done);
    ASSERT_EQ(snapshot.links.size(), 2u);
    EXPECT_EQ(snapshot.links[1].index, 2);
    EXPECT_EQ(snapshot.links[1].name, "enp3s0");
    EXPECT_TRUE(snapshot.links[0].flags & IFF_LOOPBACK);
    ASSERT_EQ(snapshot.addresses.size(), 2u);
    EXPECT_EQ(snapshot.addresses[0].family, AF_INET);
    EXPECT_EQ(snapshot.addresses[0].scope, RT_SCOPE_UNIVERSE);
    // The 32-bit attribute wins over the 8-bit field, which cannot hold the newer flags.
    EXPECT_EQ(snapshot.addresses[1].flags, std::uint32_t{IFA_F_TENTATIVE | IFA_F_NOPREFIXROUTE});
}

TEST(RouteNetlinkParse, TellsAnInterruptedDumpAndARefusalFromAnAcknowledgement) {
    Bytes interrupted;
    appendMessage(interrupted, RTM_NEWLINK, link(3, IFF_UP, "wlp2s0"), NLM_F_MULTI | NLM_F_DUMP_INTR);
    RouteSnapshot snapshot;
    EXPECT_EQ(parseRouteDatagram(interrupted, snapshot), RouteParse::interrupted);
    const Bytes end = done();
    interrupted.insert(interrupted.end(), end.begin(), end.end());
    EXPECT_EQ(parseRouteDatagram(interrupted, snapshot), RouteParse::interrupted);

    for (const int error : {0, -EBUSY}) {
        nlmsgerr body{};
        body.error = error;
        Bytes payload, message;
        appendRaw(payload, &body, sizeof body);
        appendMessage(message, NLMSG_ERROR, payload, 0);
        EXPECT_EQ(parseRouteDatagram(message, snapshot), error == 0 ? RouteParse::more : RouteParse::failed);
    }
}

TEST(RouteNetlinkParse, DamagedDatagramsAreSkippedWithoutReadingPastTheirEnd) {
    const Bytes whole = sampleDump();
    // Every cut of a good datagram, each copied to a buffer of exactly its size (so ASan sees any
    // overread) and placed off the 4-byte grid.
    for (std::size_t size = 0; size < whole.size(); ++size) {
        std::vector<std::uint8_t> storage(size + 1);
        std::memcpy(storage.data() + 1, whole.data(), size);
        RouteSnapshot snapshot;
        EXPECT_NE(parseRouteDatagram(std::span(storage.data() + 1, size), snapshot), RouteParse::done);
    }
    // A length that claims more than there is, and attributes with impossible lengths.
    Bytes lying;
    appendMessage(lying, RTM_NEWLINK, link(4, IFF_UP, "eth0"));
    reinterpret_cast<nlmsghdr*>(lying.data())->nlmsg_len = 4096;
    RouteSnapshot snapshot;
    EXPECT_EQ(parseRouteDatagram(lying, snapshot), RouteParse::more);
    EXPECT_TRUE(snapshot.links.empty());

    // The record is kept; the name it cannot read is left empty.
    for (const unsigned short attributeLength : {0, 2, 200}) {
        Bytes message;
        Bytes payload = link(5, IFF_UP, "eth1");
        reinterpret_cast<rtattr*>(payload.data() + sizeof(ifinfomsg))->rta_len = attributeLength;
        appendMessage(message, RTM_NEWLINK, payload);
        RouteSnapshot one;
        parseRouteDatagram(message, one);
        ASSERT_EQ(one.links.size(), 1u);
        EXPECT_EQ(one.links[0].name, "");
    }

    std::mt19937 random(11);
    std::uniform_int_distribution<int> byte(0, 255), length(0, 300);
    for (int round = 0; round < 3000; ++round) {
        Bytes noise(static_cast<std::size_t>(length(random)));
        for (auto& b : noise)
            b = static_cast<std::uint8_t>(byte(random));
        // Half the rounds start with a plausible header, so the parser goes deeper than the first check.
        if (round % 2 == 0 && noise.size() >= sizeof(nlmsghdr)) {
            auto* header = reinterpret_cast<nlmsghdr*>(noise.data());
            header->nlmsg_len = static_cast<std::uint32_t>(noise.size());
            header->nlmsg_type = round % 4 == 0 ? RTM_NEWLINK : RTM_NEWADDR;
        }
        RouteSnapshot any;
        parseRouteDatagram(noise, any);
    }
}

struct PathCase {
    const char* what;
    std::vector<NetworkLink> links;
    std::vector<NetworkAddress> addresses;
    bool satisfied;
};

TEST(EvaluatePath, NeedsAnAddressOnAConnectedInterfaceOtherThanLoopback) {
    const NetworkLink loopback{1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK, "lo"};
    const NetworkLink wired{2, IFF_UP | IFF_RUNNING, "enp3s0"};
    const NetworkLink unplugged{3, IFF_UP, "enp4s0"};  // up, but no carrier
    const NetworkLink down{4, IFF_RUNNING, "wlp2s0"};
    const NetworkAddress loopbackIPv4{1, AF_INET, 0, RT_SCOPE_HOST};
    const std::vector<PathCase> cases{
        {"nothing at all", {}, {}, false},
        {"only loopback", {loopback}, {loopbackIPv4}, false},
        {"connected, no address yet", {loopback, wired}, {loopbackIPv4}, false},
        {"IPv4 on a connected interface", {loopback, wired}, {{2, AF_INET, 0, RT_SCOPE_UNIVERSE}}, true},
        {"IPv6 link-local on a connected interface", {wired}, {{2, AF_INET6, IFA_F_PERMANENT, RT_SCOPE_LINK}}, true},
        {"IPv6 still tentative", {wired}, {{2, AF_INET6, IFA_F_TENTATIVE, RT_SCOPE_LINK}}, false},
        {"IPv6 failed duplicate detection", {wired}, {{2, AF_INET6, IFA_F_DADFAILED, RT_SCOPE_UNIVERSE}}, false},
        {"host-scoped address on a connected interface", {wired}, {{2, AF_INET, 0, RT_SCOPE_HOST}}, false},
        {"address on an interface without carrier", {unplugged}, {{3, AF_INET, 0, RT_SCOPE_UNIVERSE}}, false},
        {"address on an interface that is down", {down}, {{4, AF_INET, 0, RT_SCOPE_UNIVERSE}}, false},
        {"address of an interface not in the dump", {wired}, {{9, AF_INET, 0, RT_SCOPE_UNIVERSE}}, false},
    };
    for (const PathCase& c : cases) {
        const PathStatus status = evaluatePath({c.links, c.addresses});
        EXPECT_EQ(status.satisfied, c.satisfied) << c.what;
        EXPECT_EQ(status.reason.empty(), c.satisfied) << c.what << ": " << status.reason;
    }
}

TEST(RouteSnapshot, TheKernelsDumpHoldsLoopback) {
    const RouteSnapshot snapshot = readRouteSnapshot();
    bool loopback = false;
    for (const NetworkLink& link : snapshot.links)
        loopback = loopback || (link.flags & IFF_LOOPBACK);
    EXPECT_TRUE(loopback);
}

}  // namespace
}  // namespace CompanionNetwork
