#pragma once
// Blocking loopback sockets and SSL helpers for the link-security integration test. Every socket gets a
// receive timeout, so a broken handshake fails the test instead of hanging it; nothing waits on time
// otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/messages/MessageFraming.h"

namespace TrackpadProtocol::loopback {

using Bytes = std::vector<std::uint8_t>;

class Socket {
  public:
    explicit Socket(int fd = -1) : fd_(fd) {}
    Socket(Socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Socket& operator=(Socket&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int fd() const { return fd_; }

  private:
    int fd_;
};

// Also switches off Nagle's algorithm on stream sockets: the pairing exchange is small request and
// answer records, which would otherwise wait for delayed acknowledgements.
inline void setReceiveTimeout(int fd, int seconds) {
    timeval timeout{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    int type = 0;
    socklen_t length = sizeof(type);
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_STREAM) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    }
}

inline sockaddr_in loopbackAddress(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline std::uint16_t localPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

inline std::string peerHost(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
    return text;
}

// A socket of `type` bound to 127.0.0.1 on a port the system picks (listening, for TCP).
inline Socket bindLoopback(int type) {
    Socket socket(::socket(AF_INET, type, 0));
    const sockaddr_in address = loopbackAddress(0);
    if (socket.fd() < 0 ||
        ::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        (type == SOCK_STREAM && ::listen(socket.fd(), 4) != 0)) {
        throw std::runtime_error("loopback socket could not be bound");
    }
    setReceiveTimeout(socket.fd(), 10);
    return socket;
}

inline Socket connectLoopback(int type, std::uint16_t port) {
    Socket socket(::socket(AF_INET, type, 0));
    const sockaddr_in address = loopbackAddress(port);
    if (socket.fd() < 0 ||
        ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        throw std::runtime_error("loopback connect failed");
    }
    setReceiveTimeout(socket.fd(), 10);
    return socket;
}

inline Socket acceptOne(const Socket& listener) {
    Socket socket(::accept(listener.fd(), nullptr, nullptr));
    if (socket.fd() < 0) {
        throw std::runtime_error("accept failed");
    }
    setReceiveTimeout(socket.fd(), 10);
    return socket;
}

struct SSLDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using Connection = std::unique_ptr<SSL, SSLDeleter>;

inline void writeRecord(SSL* ssl, const Bytes& bytes) {
    if (SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) != static_cast<int>(bytes.size())) {
        ERR_clear_error();
        throw std::runtime_error("SSL_write failed");
    }
}

// Reads exactly `size` bytes of a TLS stream.
inline Bytes readExactly(SSL* ssl, std::size_t size) {
    Bytes bytes(size);
    std::size_t filled = 0;
    while (filled < size) {
        const int n = SSL_read(ssl, bytes.data() + filled, static_cast<int>(size - filled));
        if (n <= 0) {
            ERR_clear_error();
            throw std::runtime_error("SSL_read failed");
        }
        filled += static_cast<std::size_t>(n);
    }
    return bytes;
}

// Reads one DTLS record (one datagram).
inline Bytes readDatagram(SSL* ssl) {
    Bytes bytes(2048);
    const int n = SSL_read(ssl, bytes.data(), static_cast<int>(bytes.size()));
    if (n <= 0) {
        ERR_clear_error();
        throw std::runtime_error("DTLS read failed");
    }
    bytes.resize(static_cast<std::size_t>(n));
    return bytes;
}

// Framed messages over one TLS connection, read with blocking reads.
class MessageChannel {
  public:
    explicit MessageChannel(SSL* ssl) : ssl_(ssl) {}

    void send(const Message& message) { writeRecord(ssl_, MessageFraming::frame(message)); }

    Message receive() {
        if (!readMore()) {
            throw std::runtime_error("connection closed while waiting for a message");
        }
        Message message = std::move(received_.front());
        received_.pop_front();
        return message;
    }

    // Reads until the peer closes the connection, dropping anything that still arrives.
    void waitForClose() {
        while (readMore()) {
            received_.clear();
        }
    }

  private:
    // Blocks until at least one message is buffered; false when the connection ended first.
    bool readMore() {
        while (received_.empty()) {
            Bytes chunk(FrameDecoder::readSize);
            const int n = SSL_read(ssl_, chunk.data(), static_cast<int>(chunk.size()));
            if (n <= 0) {
                ERR_clear_error();
                return false;
            }
            decoder_.feed(
                std::span<const std::uint8_t>(chunk.data(), static_cast<std::size_t>(n)),
                [&](Message&& message) { received_.push_back(std::move(message)); },
                [](const FrameDecoder::BadFrame& bad) { throw std::runtime_error(bad.what()); });
        }
        return true;
    }

    SSL* ssl_;
    FrameDecoder decoder_;
    std::deque<Message> received_;
};

}  // namespace TrackpadProtocol::loopback
