// Figures for the link's security, side by side in one run:
//   - opening a datagram (tag, replay window, decode of a move) against the bare HMAC-SHA256 of the
//     same bytes, with their ratio printed at the end;
//   - a full CPace exchange, both sides, confirmation included;
//   - a TLS 1.3 handshake on loopback plus both exporters, for reference.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "protocol/messages/Secrets.h"
#include "protocol/security/CPace.h"
#include "protocol/security/DatagramOpener.h"
#include "protocol/security/DatagramSealer.h"
#include "protocol/security/TLSContext.h"

using namespace TrackpadProtocol;

namespace {

const Message move = Message::Move{1.0f, -2.0f};

DatagramKey benchmarkKey() {
    std::array<std::uint8_t, DatagramKey::exportedSize> bytes;
    fillRandom(bytes);
    return DatagramKey::fromExportedBytes(bytes);
}

void DatagramOpen(benchmark::State& state) {
    const DatagramKey key = benchmarkKey();
    // Counters must be fresh, so the datagrams are sealed beforehand; the key is installed again (a
    // new window) whenever the batch is used up.
    constexpr std::size_t batch = 1 << 16;
    DatagramSealer sealer(key);
    std::vector<std::vector<std::uint8_t>> datagrams;
    datagrams.reserve(batch);
    for (std::size_t i = 0; i < batch; ++i) {
        datagrams.push_back(sealer.seal(move));
    }
    DatagramOpener opener;
    opener.install(key, "127.0.0.1");
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == batch) {
            state.PauseTiming();
            opener.remove(key.keyID);
            opener.install(key, "127.0.0.1");
            next = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(opener.open(datagrams[next++], "127.0.0.1"));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(DatagramOpen);

void BareHMAC(benchmark::State& state) {
    const DatagramKey key = benchmarkKey();
    DatagramSealer sealer(key);
    const std::vector<std::uint8_t> datagram = sealer.seal(move);
    const std::span<const std::uint8_t> authenticated(datagram.data(),
                                                      datagram.size() - DatagramFormat::tagSize);
    KeyedHMAC mac(key.secret);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mac.compute(authenticated));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BareHMAC);

void CPaceExchange(benchmark::State& state) {
    const UUID host = UUID::random();
    const UUID device = UUID::random();
    std::array<std::uint8_t, 32> exporter;
    fillRandom(exporter);
    const PairingCode code = PairingCode::random();
    for (auto _ : state) {
        CPaceInitiator computer(code, exporter, host, device);
        CPaceResponder phone(code, exporter, host, device, computer.sessionID());
        const bool phoneKey = phone.receivePeerShare(computer.share(), host.bytes);
        const CPace::Tag phoneTag = phone.confirmation();
        const bool computerKey = computer.receivePeerShare(phone.share(), device.bytes);
        const bool confirmed = computer.verifyPeerConfirmation(phoneTag) &&
                               phone.verifyPeerConfirmation(computer.confirmation());
        if (!phoneKey || !computerKey || !confirmed) {
            state.SkipWithError("CPace exchange failed");
            break;
        }
    }
}
BENCHMARK(CPaceExchange)->Unit(benchmark::kMicrosecond);

// A TLS 1.3 server on 127.0.0.1 that accepts connections one after another on its own thread.
class LoopbackServer {
  public:
    explicit LoopbackServer(const SSLContext& context) : context_(context) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        ::listen(listener_, 16);
        socklen_t length = sizeof(address);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackServer() {
        ::shutdown(listener_, SHUT_RDWR);  // makes accept() return
        thread_.join();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

  private:
    void serve() {
        for (;;) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) {
                return;
            }
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            SSL* ssl = SSL_new(context_.get());
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                benchmark::DoNotOptimize(exportPairingSecret(ssl));
                benchmark::DoNotOptimize(exportDatagramKey(ssl));
                char byte;
                SSL_read(ssl, &byte, 1);  // until the client closes
            }
            SSL_free(ssl);
            ::close(fd);
        }
    }

    const SSLContext& context_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

void TLSHandshakeAndExporter(benchmark::State& state) {
    const TLSIdentity identity(UUID::random(), TLSIdentity::generatePrivateKey());
    const SSLContext serverContext = makeTLSServerContext(identity);
    const SSLContext clientContext = makeTLSClientContext(identity.publicKeyDigest());
    LoopbackServer server(serverContext);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(server.port());
    for (auto _ : state) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(fd);
            state.SkipWithError("connect failed");
            break;
        }
        SSL* ssl = SSL_new(clientContext.get());
        SSL_set_fd(ssl, fd);
        const bool ok = SSL_connect(ssl) == 1;
        if (ok) {
            benchmark::DoNotOptimize(exportPairingSecret(ssl));
            benchmark::DoNotOptimize(exportDatagramKey(ssl));
        }
        SSL_free(ssl);
        ::close(fd);
        if (!ok) {
            state.SkipWithError("handshake failed");
            break;
        }
    }
}
BENCHMARK(TLSHandshakeAndExporter)->Unit(benchmark::kMicrosecond);

// Keeps the console output and remembers items per second for the ratio printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto found = run.counters.find("items_per_second");
            if (found != run.counters.end() && run.run_type == Run::RT_Iteration) {
                rates[run.run_name.function_name] = found->second.value;
            }
        }
    }
    std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto open = reporter.rates.find("DatagramOpen");
    const auto bare = reporter.rates.find("BareHMAC");
    if (open != reporter.rates.end() && bare != reporter.rates.end() && bare->second > 0) {
        std::printf(
            "datagram open: %.2f M/s, bare HMAC-SHA256: %.2f M/s, ratio %.0f%% (goal: at least 60%%)\n",
            open->second / 1e6, bare->second / 1e6, 100.0 * open->second / bare->second);
    }
    return 0;
}
