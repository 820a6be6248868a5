#include "network/RouteNetlink.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>

namespace CompanionNetwork {
namespace {

// Netlink records are 4-byte aligned in the stream, but the bytes may sit anywhere in memory: every
// header is copied out rather than cast in place.
template <typename T>
bool readAt(std::span<const std::uint8_t> bytes, std::size_t offset, T& value) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T))
        return false;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return true;
}

constexpr std::size_t align4(std::size_t length) {
    return (length + 3) & ~std::size_t{3};
}

// Calls `visit(type, payload)` for each attribute in `bytes`; stops at the first malformed one.
template <typename Visit>
void forEachAttribute(std::span<const std::uint8_t> bytes, Visit visit) {
    std::size_t offset = 0;
    rtattr attribute;
    while (readAt(bytes, offset, attribute)) {
        if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > bytes.size() - offset)
            return;
        visit(attribute.rta_type, bytes.subspan(offset + sizeof(rtattr), attribute.rta_len - sizeof(rtattr)));
        offset += align4(attribute.rta_len);
    }
}

void parseLink(std::span<const std::uint8_t> payload, RouteSnapshot& snapshot) {
    ifinfomsg info;
    if (!readAt(payload, 0, info))
        return;
    NetworkLink link{info.ifi_index, info.ifi_flags, {}};
    forEachAttribute(payload.subspan(sizeof info),
                     [&](std::uint16_t type, std::span<const std::uint8_t> value) {
                         if (type == IFLA_IFNAME) {
                             const auto* text = reinterpret_cast<const char*>(value.data());
                             link.name.assign(text, strnlen(text, value.size()));
                         }
                     });
    snapshot.links.push_back(std::move(link));
}

void parseAddress(std::span<const std::uint8_t> payload, RouteSnapshot& snapshot) {
    ifaddrmsg info;
    if (!readAt(payload, 0, info))
        return;
    NetworkAddress address{static_cast<int>(info.ifa_index), info.ifa_family, info.ifa_flags, info.ifa_scope};
    forEachAttribute(payload.subspan(sizeof info),
                     [&](std::uint16_t type, std::span<const std::uint8_t> value) {
                         std::uint32_t flags;
                         // The 8-bit field cannot hold the newer flags; the attribute, when sent, has them all.
                         if (type == IFA_FLAGS && readAt(value, 0, flags))
                             address.flags = flags;
                     });
    snapshot.addresses.push_back(address);
}

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

class NetlinkSocket {
public:
    NetlinkSocket() {
        fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd_ < 0)
            throwErrno("rtnetlink socket");
        // The kernel answers a dump at once; the bound only keeps a wedged kernel from hanging the loop.
        const timeval timeout{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~NetlinkSocket() { ::close(fd_); }
    NetlinkSocket(const NetlinkSocket&) = delete;
    NetlinkSocket& operator=(const NetlinkSocket&) = delete;

    // Takes one dump of `type` into `snapshot`; false when the kernel says it was interrupted.
    template <typename Request>
    bool dump(std::uint16_t type, const Request& body, RouteSnapshot& snapshot) {
        struct {
            nlmsghdr header;
            Request body;
        } request{};
        request.header.nlmsg_len = sizeof request;
        request.header.nlmsg_type = type;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = ++sequence_;
        request.body = body;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(fd_, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
            throwErrno("rtnetlink dump request");

        bool interrupted = false;
        for (;;) {
            sockaddr_nl from{};
            iovec vector{buffer_.data(), buffer_.size()};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &vector;
            message.msg_iovlen = 1;
            const ssize_t received = ::recvmsg(fd_, &message, 0);
            if (received < 0) {
                if (errno == EINTR)
                    continue;
                throwErrno("rtnetlink dump");
            }
            if (from.nl_pid != 0)
                continue;  // only the kernel answers dumps
            if (message.msg_flags & MSG_TRUNC)
                interrupted = true;  // a record was cut off: take the dump again
            switch (parseRouteDatagram(std::span(buffer_.data(), static_cast<std::size_t>(received)), snapshot)) {
                case RouteParse::more:
                    break;
                case RouteParse::interrupted:
                    interrupted = true;
                    break;
                case RouteParse::done:
                    return !interrupted;
                case RouteParse::failed:
                    throw std::system_error(EPROTO, std::generic_category(), "rtnetlink dump refused");
            }
        }
    }

private:
    int fd_ = -1;
    std::uint32_t sequence_ = 0;
    std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(64 * 1024);
};

}  // namespace

RouteParse parseRouteDatagram(std::span<const std::uint8_t> datagram, RouteSnapshot& snapshot) {
    RouteParse result = RouteParse::more;
    std::size_t offset = 0;
    nlmsghdr header;
    while (readAt(datagram, offset, header)) {
        if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > datagram.size() - offset)
            break;
        const auto payload = datagram.subspan(offset + sizeof(nlmsghdr), header.nlmsg_len - sizeof(nlmsghdr));
        if (header.nlmsg_flags & NLM_F_DUMP_INTR)
            result = RouteParse::interrupted;
        switch (header.nlmsg_type) {
            case RTM_NEWLINK:
                parseLink(payload, snapshot);
                break;
            case RTM_NEWADDR:
                parseAddress(payload, snapshot);
                break;
            case NLMSG_DONE:
                return result == RouteParse::interrupted ? RouteParse::interrupted : RouteParse::done;
            case NLMSG_ERROR: {
                int error = 0;
                if (!readAt(payload, 0, error) || error != 0)
                    return RouteParse::failed;
                break;  // an acknowledgement
            }
            default:
                break;
        }
        offset += align4(header.nlmsg_len);
    }
    return result;
}

PathStatus evaluatePath(const RouteSnapshot& snapshot) {
    std::set<int> connected;
    for (const NetworkLink& link : snapshot.links)
        if ((link.flags & IFF_UP) && (link.flags & IFF_RUNNING) && !(link.flags & IFF_LOOPBACK))
            connected.insert(link.index);
    if (connected.empty())
        return {false, "No network connection."};
    for (const NetworkAddress& address : snapshot.addresses) {
        if (!connected.contains(address.interfaceIndex))
            continue;
        if (address.family != AF_INET && address.family != AF_INET6)
            continue;
        if (address.scope == RT_SCOPE_HOST || address.scope == RT_SCOPE_NOWHERE)
            continue;
        if (address.flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED))
            continue;
        return {true, {}};
    }
    return {false, "The network connection has no address yet."};
}

RouteSnapshot readRouteSnapshot() {
    NetlinkSocket socket;
    RouteSnapshot snapshot;
    // A table that keeps changing during the dump is taken a few times; the last take is still a fair
    // picture, and the change itself brings another notification.
    for (int attempt = 0; attempt < 4; ++attempt) {
        snapshot = {};
        ifinfomsg link{};
        link.ifi_family = AF_UNSPEC;
        ifaddrmsg address{};
        address.ifa_family = AF_UNSPEC;
        const bool linksWhole = socket.dump(RTM_GETLINK, link, snapshot);
        const bool addressesWhole = socket.dump(RTM_GETADDR, address, snapshot);
        if (linksWhole && addressesWhole)
            break;
    }
    return snapshot;
}

}  // namespace CompanionNetwork
