#include "network/NetlinkPathMonitor.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>
#include <utility>

#include "network/RouteNetlink.h"

namespace CompanionNetwork {

NetlinkPathMonitor::NetlinkPathMonitor(platform::EventLoop& loop) : loop_(loop) {}

NetlinkPathMonitor::~NetlinkPathMonitor() {
    cancel();
}

void NetlinkPathMonitor::start(UpdateHandler handler) {
    cancel();
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "rtnetlink socket");
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "rtnetlink subscription");
    }
    socket_ = fd;
    watch_ = loop_.watch(fd, platform::EventLoop::readable, [this](std::uint32_t) { onReadable(); });
    handler_ = std::move(handler);
    // Subscribed before the first dump, so no change between the two goes unseen.
    evaluate();
}

void NetlinkPathMonitor::cancel() {
    ++*generation_;
    handler_ = nullptr;
    last_.reset();
    if (watch_ != 0)
        loop_.removeWatch(watch_);
    watch_ = 0;
    if (socket_ >= 0)
        ::close(socket_);
    socket_ = -1;
}

void NetlinkPathMonitor::onReadable() {
    // The notifications only say that something changed; the dump says what is true now.
    std::array<std::uint8_t, 16 * 1024> buffer;
    for (;;) {
        const ssize_t received = ::recv(socket_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received >= 0)
            continue;
        if (errno == EINTR || errno == ENOBUFS)
            continue;  // ENOBUFS: notifications were lost, which the dump makes up for
        break;
    }
    evaluate();
}

void NetlinkPathMonitor::evaluate() {
    PathStatus status;
    try {
        status = evaluatePath(readRouteSnapshot());
    } catch (const std::system_error& error) {
        log_.error(std::string("Cannot read the network interfaces: ") + error.what());
        // A reported status stays as it was until the next notification tries again; the first report
        // is still owed.
        if (last_)
            return;
        status = {false, "The network interfaces cannot be read."};
    }
    if (last_ == status)
        return;
    last_ = status;
    if (status.satisfied)
        log_.info("The network is available.");
    else
        log_.notice(status.reason);
    std::weak_ptr<std::uint64_t> generation = generation_;
    loop_.post([this, generation, expected = *generation_, status = std::move(status)] {
        const auto alive = generation.lock();
        if (alive && *alive == expected && handler_)
            handler_(status);
    });
}

}  // namespace CompanionNetwork
