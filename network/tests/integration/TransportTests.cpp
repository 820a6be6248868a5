// The listener's two transports on real sockets: TLS 1.3 connections with their write queue, and DTLS
// 1.2 flows demultiplexed on one UDP socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "network/DatagramFlows.h"
#include "network/Sockets.h"
#include "network/TLSConnection.h"
#include "platform/InputArrival.h"
#include "protocol/security/TLSContext.h"
#include "protocol/security/TLSIdentity.h"
#include "testing/LoopThread.h"
#include "testing/PhoneChannels.h"

namespace CompanionNetwork {
namespace {

using testing_support::Bytes;
using testing_support::eventually;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct TransportTest : ::testing::Test {
    TrackpadProtocol::TLSIdentity identity{TrackpadProtocol::UUID::random(),
                                           TrackpadProtocol::TLSIdentity::generatePrivateKey()};
    testing_support::LoopThread loop;
};

// A TLS server that echoes what it receives, or holds still when told to.
struct EchoServer {
    platform::EventLoop& loop;
    TrackpadProtocol::SSLContext context;
    SocketFD listening;
    platform::EventLoop::WatchID watch = 0;
    std::vector<std::unique_ptr<TLSConnection>> connections;
    bool echo = true;
    double writeStallLimit = 0;

    std::mutex mutex;
    std::vector<std::string> closeReasons;
    int established = 0;

    EchoServer(platform::EventLoop& loop, const TrackpadProtocol::TLSIdentity& identity)
        : loop(loop), context(TrackpadProtocol::makeTLSServerContext(identity)) {
        listening = openBoundSocket(SocketKind::stream, true, 0);
        watch =
            loop.watch(listening.get(), platform::EventLoop::readable, [this](std::uint32_t) { accept(); });
    }
    ~EchoServer() { loop.removeWatch(watch); }

    std::uint16_t port() const { return localPort(listening.get()); }

    void accept() {
        SocketAddress remote;
        SocketFD socket = acceptConnection(listening.get(), remote);
        if (!socket) {
            return;
        }
        auto connection = std::make_unique<TLSConnection>(loop, context.get(), std::move(socket), remote);
        TLSConnection* raw = connection.get();
        raw->setWriteStallLimit(writeStallLimit);
        connections.push_back(std::move(connection));
        raw->start({.established =
                        [this] {
                            std::lock_guard lock(mutex);
                            ++established;
                        },
                    .received =
                        [this, raw](std::span<const std::uint8_t> bytes) {
                            if (echo) {
                                raw->send(Bytes(bytes.begin(), bytes.end()));
                            }
                        },
                    .closed =
                        [this](const std::string& reason) {
                            std::lock_guard lock(mutex);
                            closeReasons.push_back(reason);
                        }});
    }
};

TEST_F(TransportTest, TLSConnectionEchoesSmallAndLargeWritesInOrder) {
    auto server = loop.call([&] { return std::make_unique<EchoServer>(loop.loop(), identity); });
    const std::uint16_t port = loop.call([&] { return server->port(); });

    testing_support::TLSClientChannel client("127.0.0.1", port, identity.publicKeyDigest(), 5);
    client.write(bytesOf("hello"));
    Bytes received;
    ASSERT_TRUE(eventually([&] {
        auto bytes = client.read(0.05);
        if (bytes) {
            received.insert(received.end(), bytes->begin(), bytes->end());
        }
        return received.size() >= 5;
    }));
    EXPECT_EQ(received, bytesOf("hello"));

    // Larger than one read and than the socket buffers: partial writes and the queue must keep order.
    Bytes large(3u << 20);
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
    }
    received.clear();
    // Written and read on this one thread, a chunk at a time: an SSL object is not for two threads at once.
    const auto takeWhatCame = [&](double timeout) {
        auto bytes = client.read(timeout);
        if (bytes) {
            received.insert(received.end(), bytes->begin(), bytes->end());
        }
    };
    constexpr std::size_t chunk = 64u << 10;
    for (std::size_t offset = 0; offset < large.size(); offset += chunk) {
        client.write(std::span(large).subspan(offset, std::min(chunk, large.size() - offset)), 20);
        takeWhatCame(0.001);
    }
    ASSERT_TRUE(eventually(
        [&] {
            takeWhatCame(0.05);
            return received.size() >= large.size();
        },
        20));
    EXPECT_EQ(received, large);

    loop.call([&] { server.reset(); });
}

TEST_F(TransportTest, ClosedHandlerRunsOnceWhenThePhoneLeaves) {
    auto server = loop.call([&] { return std::make_unique<EchoServer>(loop.loop(), identity); });
    const std::uint16_t port = loop.call([&] { return server->port(); });
    {
        testing_support::TLSClientChannel client("127.0.0.1", port, std::nullopt, 5);
        ASSERT_TRUE(eventually([&] { return loop.call([&] { return server->established; }) == 1; }));
    }
    ASSERT_TRUE(eventually([&] { return loop.call([&] { return server->closeReasons.size(); }) == 1; }));
    loop.call([&] { server.reset(); });
}

TEST_F(TransportTest, APhoneThatStopsReadingIsDisconnectedWhenTheQueueIsFull) {
    auto server = loop.call([&] { return std::make_unique<EchoServer>(loop.loop(), identity); });
    server->echo = false;
    const std::uint16_t port = loop.call([&] { return server->port(); });
    testing_support::TLSClientChannel client("127.0.0.1", port, std::nullopt, 5);
    ASSERT_TRUE(eventually([&] { return loop.call([&] { return server->connections.size(); }) == 1; }));

    std::atomic<int> failedWrites = 0;
    loop.call([&] {
        TLSConnection& connection = *server->connections.front();
        const std::size_t chunk = 1u << 20;
        for (std::size_t sent = 0; sent <= 2 * TLSConnection::maxQueuedBytes; sent += chunk) {
            connection.send(Bytes(chunk, 0x55), [&](bool written) {
                if (!written) {
                    ++failedWrites;
                }
            });
        }
    });
    ASSERT_TRUE(eventually([&] { return loop.call([&] { return server->closeReasons.size(); }) == 1; }));
    EXPECT_NE(loop.call([&] { return server->closeReasons.front(); }).find("write queue full"),
              std::string::npos);
    EXPECT_TRUE(eventually([&] { return failedWrites.load() > 0; }));
    EXPECT_TRUE(client.waitForClose(5));
    loop.call([&] { server.reset(); });
}

TEST_F(TransportTest, APhoneThatTakesNothingForTheStallLimitIsDisconnectedOneThatReadsSlowlyIsNot) {
    auto server = loop.call([&] { return std::make_unique<EchoServer>(loop.loop(), identity); });
    server->echo = false;
    server->writeStallLimit = 2;
    const std::uint16_t port = loop.call([&] { return server->port(); });
    testing_support::TLSClientChannel stalled("127.0.0.1", port, std::nullopt, 5);
    ASSERT_TRUE(eventually([&] { return loop.call([&] { return server->connections.size(); }) == 1; }));
    testing_support::TLSClientChannel slow("127.0.0.1", port, std::nullopt, 5);
    ASSERT_TRUE(eventually([&] { return loop.call([&] { return server->connections.size(); }) == 2; }));

    // More than the sockets hold, well under the queue's limit: only the time can end the first one.
    constexpr std::size_t size = 12u << 20;
    loop.call([&] {
        for (const auto& connection : server->connections) {
            connection->send(Bytes(size, 0x55));
        }
    });
    // A quarter of a megabyte every 0.1 s: longer than the limit in all, never still for that long.
    std::size_t received = 0;
    while (received < size) {
        for (std::size_t burst = 0; burst < (256u << 10) && received < size;) {
            const auto bytes = slow.read(1);
            ASSERT_TRUE(bytes && !bytes->empty()) << "after " << received << " bytes";
            burst += bytes->size();
            received += bytes->size();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(eventually([&] { return loop.call([&] { return server->closeReasons.size(); }) == 1; }));
    EXPECT_NE(loop.call([&] { return server->closeReasons.front(); }).find("nothing taken for 2 s"),
              std::string::npos);
    EXPECT_TRUE(stalled.waitForClose(5));
    EXPECT_FALSE(slow.isClosed());
    loop.call([&] { server.reset(); });
}

TEST_F(TransportTest, TLS12IsRefused) {
    auto server = loop.call([&] { return std::make_unique<EchoServer>(loop.loop(), identity); });
    const std::uint16_t port = loop.call([&] { return server->port(); });
    // A client that offers TLS 1.2 at most cannot agree on a version with the listener.
    SSL_CTX* old = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(old, TLS1_2_VERSION);
    const int fd = testing_support::connectTCP("127.0.0.1", port, 5);
    SSL* ssl = SSL_new(old);
    SSL_set_fd(ssl, fd);
    int result = -1;
    ASSERT_TRUE(eventually([&] {
        result = SSL_connect(ssl);
        return result == 1 || SSL_get_error(ssl, result) != SSL_ERROR_WANT_READ;
    }));
    EXPECT_NE(result, 1);
    SSL_free(ssl);
    ::close(fd);
    SSL_CTX_free(old);
    ERR_clear_error();
    ASSERT_TRUE(eventually([&] { return loop.call([&] { return server->closeReasons.size(); }) == 1; }));
    EXPECT_NE(loop.call([&] { return server->closeReasons.front(); }).find("handshake"), std::string::npos);
    loop.call([&] { server.reset(); });
}

struct FlowRecord {
    DatagramFlows::FlowID flow;
    std::string host;
    std::uint16_t port;
    std::string text;
};

TEST_F(TransportTest, DatagramFlowsKeepPhonesApartOnOneSocket) {
    std::mutex mutex;
    std::vector<FlowRecord> records;
    TrackpadProtocol::SSLContext context = TrackpadProtocol::makeDTLSServerContext(identity);
    auto flows = loop.call([&] {
        auto made = std::make_unique<DatagramFlows>(
            loop.loop(), context.get(), openBoundSocket(SocketKind::datagram, true, 0), 5.0,
            [&](DatagramFlows::FlowID flow, const SocketAddress& from, std::span<const std::uint8_t> bytes) {
                std::lock_guard lock(mutex);
                records.push_back({flow, from.host(), from.port(), std::string(bytes.begin(), bytes.end())});
            });
        made->start();
        return made;
    });
    const std::uint16_t port = loop.call([&] { return flows->port(); });

    testing_support::DTLSClientChannel first("127.0.0.1", port, identity.publicKeyDigest(), 5);
    testing_support::DTLSClientChannel second("127.0.0.1", port, identity.publicKeyDigest(), 5);
    first.send(bytesOf("one"));
    second.send(bytesOf("two"));
    first.send(bytesOf("three"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return records.size() == 3;
    }));
    std::map<std::string, FlowRecord> byText;
    for (const FlowRecord& record : records) {
        byText[record.text] = record;
    }
    EXPECT_EQ(byText["one"].flow, byText["three"].flow);
    EXPECT_NE(byText["one"].flow, byText["two"].flow);
    EXPECT_EQ(byText["one"].host, "127.0.0.1");
    EXPECT_EQ(byText["one"].port, first.localPort());
    EXPECT_EQ(byText["two"].port, second.localPort());
    EXPECT_EQ(loop.call([&] { return flows->establishedFlowCount(); }), 2u);

    // Closing an owner's flows tells that phone and leaves the other.
    loop.call([&] {
        flows->adopt(byText["one"].flow, 7);
        flows->closeFlowsOf(7);
    });
    EXPECT_TRUE(first.waitForClose(5));
    EXPECT_EQ(loop.call([&] { return flows->flowCount(); }), 1u);
    loop.call([&] { flows.reset(); });
}

// Each datagram is handled with the time the kernel stamped on it, in monotonic seconds, and the stamp
// does not outlive its handling.
TEST_F(TransportTest, DatagramsAreHandledWithTheTimeTheyArrived) {
    std::mutex mutex;
    std::vector<std::pair<std::optional<double>, double>> arrivals;
    TrackpadProtocol::SSLContext context = TrackpadProtocol::makeDTLSServerContext(identity);
    auto flows = loop.call([&] {
        auto made = std::make_unique<DatagramFlows>(
            loop.loop(), context.get(), openBoundSocket(SocketKind::datagram, true, 0), 5.0,
            [&](auto, const SocketAddress&, auto) {
                std::lock_guard lock(mutex);
                arrivals.emplace_back(platform::inputArrivalTime(), platform::monotonicSeconds());
            });
        made->start();
        return made;
    });
    const std::uint16_t port = loop.call([&] { return flows->port(); });
    testing_support::DTLSClientChannel client("127.0.0.1", port, identity.publicKeyDigest(), 5);
    const double sent = platform::monotonicSeconds();
    client.send(bytesOf("move"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return !arrivals.empty();
    }));
    const auto [arrival, handled] = arrivals.front();
    ASSERT_TRUE(arrival.has_value());
    EXPECT_GE(*arrival, sent);
    EXPECT_LE(*arrival, handled);
    EXPECT_FALSE(loop.call([] { return platform::inputArrivalTime(); }).has_value());
    loop.call([&] { flows.reset(); });
}

TEST_F(TransportTest, UnadoptedFlowsExpireAfterTheHandshakeTimeout) {
    TrackpadProtocol::SSLContext context = TrackpadProtocol::makeDTLSServerContext(identity);
    auto flows = loop.call([&] {
        auto made = std::make_unique<DatagramFlows>(loop.loop(), context.get(),
                                                    openBoundSocket(SocketKind::datagram, true, 0), 0.2,
                                                    [](auto, const auto&, auto) {});
        made->start();
        return made;
    });
    const std::uint16_t port = loop.call([&] { return flows->port(); });
    testing_support::DTLSClientChannel client("127.0.0.1", port, std::nullopt, 5);
    EXPECT_EQ(loop.call([&] { return flows->flowCount(); }), 1u);
    EXPECT_TRUE(eventually([&] { return loop.call([&] { return flows->flowCount(); }) == 0; }));
    loop.call([&] { flows.reset(); });
}

TEST_F(TransportTest, DatagramsThatAreNotAHelloMakeNoFlow) {
    TrackpadProtocol::SSLContext context = TrackpadProtocol::makeDTLSServerContext(identity);
    auto flows = loop.call([&] {
        auto made = std::make_unique<DatagramFlows>(loop.loop(), context.get(),
                                                    openBoundSocket(SocketKind::datagram, true, 0), 5.0,
                                                    [](auto, const auto&, auto) {});
        made->start();
        return made;
    });
    const std::uint16_t port = loop.call([&] { return flows->port(); });
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const std::string& junk :
         {std::string("garbage"), std::string(14, '\x16'), std::string(2000, '\0')}) {
        ::sendto(fd, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ::close(fd);
    // A real phone still gets through afterwards.
    testing_support::DTLSClientChannel client("127.0.0.1", port, std::nullopt, 5);
    EXPECT_EQ(loop.call([&] { return flows->flowCount(); }), 1u);
    loop.call([&] { flows.reset(); });
}

}  // namespace
}  // namespace CompanionNetwork
