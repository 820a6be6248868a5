#pragma once
// Small wrappers over the BSD socket calls the listeners need: non-blocking listening and datagram
// sockets on loopback or on every interface, and addresses as text. Nothing here knows TLS.
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace CompanionNetwork {

// A socket descriptor that closes itself.
class SocketFD {
  public:
    SocketFD() = default;
    explicit SocketFD(int fd) : fd_(fd) {}
    SocketFD(SocketFD&& other) noexcept : fd_(other.release()) {}
    SocketFD& operator=(SocketFD&& other) noexcept;
    SocketFD(const SocketFD&) = delete;
    SocketFD& operator=(const SocketFD&) = delete;
    ~SocketFD() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

  private:
    int fd_ = -1;
};

// A remote or local address with its port.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    // The address without the port as text: dotted IPv4 (also for IPv4-mapped IPv6), else IPv6 text.
    std::string host() const;
    std::uint16_t port() const;
    // host:port, for logs.
    std::string description() const;
    bool operator==(const SocketAddress& other) const;
};

enum class SocketKind { stream, datagram };

// A non-blocking, close-on-exec socket bound to 127.0.0.1 (loopbackOnly) or to every interface (IPv6
// with IPv4 mapped in, or IPv4 alone where IPv6 is missing) on `port` (0: the system chooses). A stream
// socket is also listening. Throws std::system_error.
SocketFD openBoundSocket(SocketKind kind, bool loopbackOnly, std::uint16_t port);
// The port a bound socket got.
std::uint16_t localPort(int fd);
// The remote address of a connected socket; none-filled (length 0) when it cannot be had.
SocketAddress peerAddress(int fd);
// Accepts one pending connection as a non-blocking, close-on-exec socket with Nagle's delay off (input
// events are small and must not wait for each other). An empty descriptor when none is pending; the
// error stays in errno.
SocketFD acceptConnection(int listeningFD, SocketAddress& remote);

}  // namespace CompanionNetwork
