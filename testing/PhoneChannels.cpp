#include "testing/PhoneChannels.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

#include "protocol/security/OpenSSLSupport.h"

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double seconds) {
    return Clock::now() + std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
}

// Waits for readiness until the deadline; false when it passed.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            throw std::runtime_error("poll failed");
        }
    }
}

sockaddr_in addressOf(const std::string& host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        throw std::runtime_error("not an IPv4 address: " + host);
    }
    return address;
}

void bindSource(int fd, const std::string& source) {
    if (source.empty()) {
        return;
    }
    const sockaddr_in local = addressOf(source, 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot bind to " + source);
    }
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(TrackpadProtocol::openssl::takeError(what));
}

// Drives a non-blocking handshake step until it completes; DTLS retransmits on its own timer.
void handshake(ssl_st* ssl, int fd, Clock::time_point deadline, const char* what) {
    for (;;) {
        ERR_clear_error();
        const int result = SSL_connect(ssl);
        if (result == 1) {
            return;
        }
        const int error = SSL_get_error(ssl, result);
        short events = 0;
        if (error == SSL_ERROR_WANT_READ) {
            events = POLLIN;
        } else if (error == SSL_ERROR_WANT_WRITE) {
            events = POLLOUT;
        } else {
            fail(what);
        }
        auto stepDeadline = deadline;
        timeval retransmit{};
        if (SSL_is_dtls(ssl) && DTLSv1_get_timeout(ssl, &retransmit) == 1) {
            stepDeadline = std::min(deadline, Clock::now() + std::chrono::seconds(retransmit.tv_sec) +
                                                  std::chrono::microseconds(retransmit.tv_usec));
        }
        if (!waitFor(fd, events, stepDeadline)) {
            if (Clock::now() >= deadline) {
                throw std::runtime_error(std::string(what) + ": timed out");
            }
            DTLSv1_handle_timeout(ssl);
        }
    }
}

}  // namespace

void ignoreBrokenPipes() {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        ::signal(SIGPIPE, SIG_IGN);
    }
}

int connectTCP(const std::string& host, std::uint16_t port, double timeout, const std::string& source) {
    ignoreBrokenPipes();
    const sockaddr_in address = addressOf(host, port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    bindSource(fd, source);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        throw std::runtime_error("connect failed");
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (!waitFor(fd, POLLOUT, deadlineAfter(timeout)) ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        ::close(fd);
        throw std::runtime_error("connect failed");
    }
    return fd;
}

TLSClientChannel::TLSClientChannel(const std::string& host, std::uint16_t port,
                                   const std::optional<TrackpadProtocol::PublicKeyDigest>& pinnedKey,
                                   double timeout, const std::string& source)
    : context_(TrackpadProtocol::makeTLSClientContext(pinnedKey)) {
    const auto deadline = deadlineAfter(timeout);
    fd_ = connectTCP(host, port, timeout, source);
    ssl_ = SSL_new(context_.get());
    if (ssl_ == nullptr || SSL_set_fd(ssl_, fd_) != 1) {
        SSL_free(ssl_);
        ::close(fd_);
        fail("TLS client setup failed");
    }
    SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    try {
        handshake(ssl_, fd_, deadline, "TLS handshake failed");
    } catch (...) {
        SSL_free(ssl_);
        ::close(fd_);
        throw;
    }
}

TLSClientChannel::~TLSClientChannel() {
    if (!closed_) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
    }
    ERR_clear_error();
    SSL_free(ssl_);
    ::close(fd_);
}

void TLSClientChannel::write(std::span<const std::uint8_t> bytes, double timeout) {
    const auto deadline = deadlineAfter(timeout);
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        ERR_clear_error();
        const int count = SSL_write(ssl_, bytes.data() + offset, static_cast<int>(bytes.size() - offset));
        if (count > 0) {
            offset += static_cast<std::size_t>(count);
            continue;
        }
        const int error = SSL_get_error(ssl_, count);
        const short events = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !waitFor(fd_, events, deadline)) {
            closed_ = true;
            throw std::runtime_error("TLS write failed");
        }
    }
}

std::optional<Bytes> TLSClientChannel::read(double timeout) {
    if (closed_) {
        return std::nullopt;
    }
    const auto deadline = deadlineAfter(timeout);
    Bytes buffer(16384);
    for (;;) {
        ERR_clear_error();
        const int count = SSL_read(ssl_, buffer.data(), static_cast<int>(buffer.size()));
        if (count > 0) {
            buffer.resize(static_cast<std::size_t>(count));
            return buffer;
        }
        const int error = SSL_get_error(ssl_, count);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (!waitFor(fd_, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline)) {
                return Bytes{};
            }
            continue;
        }
        closed_ = true;
        return std::nullopt;
    }
}

bool TLSClientChannel::waitForClose(double timeout) {
    const auto deadline = deadlineAfter(timeout);
    while (!closed_) {
        const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0) {
            return false;
        }
        (void)read(left);
    }
    return true;
}

std::optional<TrackpadProtocol::PublicKeyDigest> TLSClientChannel::serverKey() const {
    return TrackpadProtocol::peerPublicKeyDigest(ssl_);
}

DTLSClientChannel::DTLSClientChannel(const std::string& host, std::uint16_t port,
                                     const std::optional<TrackpadProtocol::PublicKeyDigest>& pinnedKey,
                                     double timeout, const std::string& source)
    : context_(TrackpadProtocol::makeDTLSClientContext(pinnedKey)) {
    const sockaddr_in address = addressOf(host, port);
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ >= 0) {
        bindSource(fd_, source);
    }
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        throw std::runtime_error("UDP connect failed");
    }
    ssl_ = SSL_new(context_.get());
    BIO* bio = BIO_new_dgram(fd_, BIO_NOCLOSE);
    TrackpadProtocol::openssl::Address peer(BIO_ADDR_new());
    if (ssl_ == nullptr || bio == nullptr || !peer ||
        BIO_ADDR_rawmake(peer.get(), AF_INET, &address.sin_addr, sizeof address.sin_addr, address.sin_port) !=
            1) {
        BIO_free(bio);
        SSL_free(ssl_);
        ::close(fd_);
        fail("DTLS client setup failed");
    }
    BIO_ctrl_set_connected(bio, peer.get());
    SSL_set_bio(ssl_, bio, bio);
    try {
        handshake(ssl_, fd_, deadlineAfter(timeout), "DTLS handshake failed");
    } catch (...) {
        SSL_free(ssl_);
        ::close(fd_);
        throw;
    }
}

DTLSClientChannel::~DTLSClientChannel() {
    ERR_clear_error();
    SSL_free(ssl_);
    ::close(fd_);
}

void DTLSClientChannel::send(std::span<const std::uint8_t> record) {
    ERR_clear_error();
    if (SSL_write(ssl_, record.data(), static_cast<int>(record.size())) != static_cast<int>(record.size())) {
        fail("DTLS write failed");
    }
}

bool DTLSClientChannel::waitForClose(double timeout) {
    const auto deadline = deadlineAfter(timeout);
    std::uint8_t buffer[2048];
    for (;;) {
        ERR_clear_error();
        const int count = SSL_read(ssl_, buffer, sizeof buffer);
        if (count > 0) {
            continue;
        }
        const int error = SSL_get_error(ssl_, count);
        if (error == SSL_ERROR_ZERO_RETURN) {
            return true;
        }
        if (error != SSL_ERROR_WANT_READ || !waitFor(fd_, POLLIN, deadline)) {
            return error != SSL_ERROR_WANT_READ;
        }
    }
}

std::uint16_t DTLSClientChannel::localPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

}  // namespace testing_support
