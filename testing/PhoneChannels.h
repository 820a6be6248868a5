#pragma once
// The phone's two channels for tests, over real sockets: a TLS 1.3 client and a DTLS 1.2 client. Every
// call blocks for at most the given time and throws std::runtime_error when the channel fails; they are
// meant for a test's own thread while the computer's loop runs elsewhere.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/security/TLSContext.h"

struct ssl_st;

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// Keeps a write to a socket the peer has closed from ending the test process.
void ignoreBrokenPipes();

// A plain TCP connection to host:port, connected and non-blocking; throws on failure. `source`, when
// given, is the local address to connect from (any 127.x.y.z works on loopback: a second host for tests).
int connectTCP(const std::string& host, std::uint16_t port, double timeout, const std::string& source = {});

class TLSClientChannel {
  public:
    // Connects and completes the TLS 1.3 handshake. Throws std::runtime_error.
    TLSClientChannel(const std::string& host, std::uint16_t port,
                     const std::optional<TrackpadProtocol::PublicKeyDigest>& pinnedKey, double timeout,
                     const std::string& source = {});
    ~TLSClientChannel();
    TLSClientChannel(const TLSClientChannel&) = delete;
    TLSClientChannel& operator=(const TLSClientChannel&) = delete;

    // Writes every byte. Throws when the connection fails or the time runs out.
    void write(std::span<const std::uint8_t> bytes, double timeout = 5);
    // Bytes received within `timeout`: some bytes, an empty vector when none came in time, none when
    // the computer closed the connection.
    std::optional<Bytes> read(double timeout);
    // Waits for the computer to close the connection, discarding what arrives; false when it is still
    // open after `timeout`.
    bool waitForClose(double timeout);
    bool isClosed() const { return closed_; }

    ssl_st* ssl() const { return ssl_; }
    std::optional<TrackpadProtocol::PublicKeyDigest> serverKey() const;

  private:
    TrackpadProtocol::SSLContext context_;
    ssl_st* ssl_ = nullptr;
    int fd_ = -1;
    bool closed_ = false;
};

class DTLSClientChannel {
  public:
    // Completes a DTLS 1.2 handshake (with the cookie exchange) from a new UDP port. Throws.
    DTLSClientChannel(const std::string& host, std::uint16_t port,
                      const std::optional<TrackpadProtocol::PublicKeyDigest>& pinnedKey, double timeout,
                      const std::string& source = {});
    ~DTLSClientChannel();
    DTLSClientChannel(const DTLSClientChannel&) = delete;
    DTLSClientChannel& operator=(const DTLSClientChannel&) = delete;

    // One record. Throws when DTLS refuses it.
    void send(std::span<const std::uint8_t> record);
    // Whether the computer closed the flow (a close_notify arrived) within `timeout`.
    bool waitForClose(double timeout);
    std::uint16_t localPort() const;

  private:
    TrackpadProtocol::SSLContext context_;
    ssl_st* ssl_ = nullptr;
    int fd_ = -1;
};

}  // namespace testing_support
