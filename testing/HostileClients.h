#pragma once
// Clients that misbehave on purpose, for the listener's tests and load drivers: connections that hold a
// slot and say nothing, connections that send requests without ever reading the answers, and a host that
// reconnects after every few bad frames. Each runs on threads of its own until it is destroyed, and
// counts what it did. `source`, when given, is the local address they connect from (a host of their own
// on loopback).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// Holds `count` plain TCP connections to host:port that never send a byte; each one the computer
// closes (or refuses) is opened again at once.
class SilentConnections {
  public:
    SilentConnections(std::string host, std::uint16_t port, int count, std::string source = {});
    ~SilentConnections();
    SilentConnections(const SilentConnections&) = delete;
    SilentConnections& operator=(const SilentConnections&) = delete;

    // Connections opened so far, the first `count` included.
    std::uint64_t opened() const { return opened_; }
    // Connections open right now.
    int open() const { return open_; }

  private:
    void run();

    std::string host_;
    std::uint16_t port_;
    int count_;
    std::string source_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> opened_{0};
    std::atomic<int> open_{0};
    std::thread thread_;
};

// `count` TLS connections without a session, each sending probe frames as fast as the computer takes
// them and never reading a reply; a connection the computer closes is opened again.
class ProbeFlood {
  public:
    ProbeFlood(std::string host, std::uint16_t port, int count, std::string source = {});
    ~ProbeFlood();
    ProbeFlood(const ProbeFlood&) = delete;
    ProbeFlood& operator=(const ProbeFlood&) = delete;

    // Probe bytes the computer's side has taken (its socket accepted them), over every connection.
    std::uint64_t bytesSent() const { return bytesSent_; }
    // The most one connection could send before it was closed or the flood stopped.
    std::uint64_t mostSentOnOneConnection() const { return mostOnOne_; }
    // TLS connections established so far.
    std::uint64_t connections() const { return connections_; }

  private:
    void run(int index);

    std::string host_;
    std::uint16_t port_;
    std::string source_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> bytesSent_{0};
    std::atomic<std::uint64_t> mostOnOne_{0};
    std::atomic<std::uint64_t> connections_{0};
    std::mutex mutex_;
    std::vector<int> sockets_;  // of the live connections, shut down to stop the flood
    std::vector<std::thread> threads_;
};

// One host that opens a TLS connection, sends `badFrames` frames of an unknown type, closes and opens
// the next, as fast as the computer lets it.
class BadFrameReconnects {
  public:
    BadFrameReconnects(std::string host, std::uint16_t port, int badFrames, std::string source = {});
    ~BadFrameReconnects();
    BadFrameReconnects(const BadFrameReconnects&) = delete;
    BadFrameReconnects& operator=(const BadFrameReconnects&) = delete;

    // TLS connections that sent their frames.
    std::uint64_t connections() const { return connections_; }

  private:
    void run();

    std::string host_;
    std::uint16_t port_;
    int badFrames_;
    std::string source_;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> connections_{0};
    std::thread thread_;
};

}  // namespace testing_support
