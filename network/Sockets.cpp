#include "network/Sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace CompanionNetwork {

namespace {

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

SocketFD openSocket(int family, SocketKind kind) {
    const int type = (kind == SocketKind::stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK | SOCK_CLOEXEC;
    return SocketFD(::socket(family, type, 0));
}

void bindAndListen(const SocketFD& socket, SocketKind kind, const sockaddr* address, socklen_t length) {
    const int on = 1;
    if (kind == SocketKind::stream) {
        // A restarted listener must get its port back while old connections linger in TIME_WAIT.
        ::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    if (::bind(socket.get(), address, length) != 0) {
        throwErrno("bind");
    }
    if (kind == SocketKind::stream && ::listen(socket.get(), SOMAXCONN) != 0) {
        throwErrno("listen");
    }
}

}  // namespace

SocketFD& SocketFD::operator=(SocketFD&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

void SocketFD::reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::string SocketAddress::host() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
        ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    } else if (storage.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr)) {
            ::inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        }
    }
    return text;
}

std::uint16_t SocketAddress::port() const {
    if (storage.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
    }
    if (storage.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    }
    return 0;
}

std::string SocketAddress::description() const {
    const std::string text = host();
    if (text.find(':') != std::string::npos) {
        return "[" + text + "]:" + std::to_string(port());
    }
    return text + ":" + std::to_string(port());
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return length == other.length && std::memcmp(&storage, &other.storage, length) == 0;
}

SocketFD openBoundSocket(SocketKind kind, bool loopbackOnly, std::uint16_t port) {
    if (!loopbackOnly) {
        SocketFD socket = openSocket(AF_INET6, kind);
        if (socket) {
            const int off = 0;
            ::setsockopt(socket.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_addr = in6addr_any;
            address.sin6_port = htons(port);
            bindAndListen(socket, kind, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            return socket;
        }
        if (errno != EAFNOSUPPORT) {
            throwErrno("socket");
        }
    }
    SocketFD socket = openSocket(AF_INET, kind);
    if (!socket) {
        throwErrno("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    address.sin_port = htons(port);
    bindAndListen(socket, kind, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return socket;
}

std::uint16_t localPort(int fd) {
    SocketAddress address;
    address.length = sizeof address.storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address.storage), &address.length) != 0) {
        throwErrno("getsockname");
    }
    return address.port();
}

SocketAddress peerAddress(int fd) {
    SocketAddress address;
    address.length = sizeof address.storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address.storage), &address.length) != 0) {
        address = SocketAddress{};
    }
    return address;
}

SocketFD acceptConnection(int listeningFD, SocketAddress& remote) {
    remote = SocketAddress{};
    remote.length = sizeof remote.storage;
    SocketFD socket(::accept4(listeningFD, reinterpret_cast<sockaddr*>(&remote.storage), &remote.length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (socket) {
        const int on = 1;
        ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return socket;
}

}  // namespace CompanionNetwork
