// Load driver for the listener under hostile peers on loopback, printing the figures of each case:
//  1. probe flood: eight connections without a session (each from a loopback host of its own) send probes
//     and never read the replies, while an honest phone with a session sends a probe every 10 ms;
//     resident memory of this process before, during (the most seen) and after, and the honest phone's
//     probe round trip.
//  2. eviction: eight silent TCP connections (one per host) are reopened as they close while an honest
//     phone connects, pairs and opens a session; the time that takes, over several runs.
// The phones run in this process too, so the memory figures include their (small) share.
//
//   hostile_load [flood seconds]   (10 by default)
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "network/CompanionListener.h"
#include "network/ListenerCore.h"
#include "network/PairingCoordinator.h"
#include "network/TrustedDevice.h"
#include "testing/HostileClients.h"
#include "testing/LoopThread.h"
#include "testing/PhoneTestClient.h"

namespace {

using CompanionNetwork::CompanionListener;
using TrackpadProtocol::Message;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double residentMiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

class Computer {
  public:
    Computer() {
        store_ = std::make_shared<CompanionNetwork::InMemoryTrustedDeviceStore>();
        coordinator_ = std::make_shared<CompanionNetwork::PairingCoordinator>(
            store_, "Hostile Load", CompanionNetwork::PairingCoordinator::Configuration{},
            [] { return std::chrono::system_clock::now(); });
        coordinator_->setEventHandler([this](const CompanionNetwork::PairingEvent& event) {
            if (const auto* changed = event.as<CompanionNetwork::PairingEvent::PendingPairingChanged>()) {
                std::lock_guard lock(mutex_);
                code_ = changed->pairing
                            ? std::optional<std::string>(std::string(changed->pairing->code.digits()))
                            : std::nullopt;
            }
        });
        CompanionListener::Configuration configuration;
        configuration.serviceName = "Hostile Load";
        configuration.loopbackOnly = true;
        configuration.wakeAddresses.clear();
        listener_ = std::make_unique<CompanionListener>(
            coordinator_, configuration, loop_.loop(), nullptr, nullptr,
            [this](const CompanionListener::State& state) {
                if (const auto* ready = state.as<CompanionListener::State::Ready>()) {
                    std::lock_guard lock(mutex_);
                    endpoint_ = {"127.0.0.1", ready->details.tcpPort, ready->details.udpPort};
                }
            },
            nullptr, nullptr, nullptr, nullptr, nullptr);
        listener_->start();
        testing_support::eventually([&] {
            std::lock_guard lock(mutex_);
            return endpoint_.tcpPort != 0;
        });
    }
    ~Computer() {
        loop_.call([&] { listener_.reset(); });
    }

    testing_support::PhoneTestClient::Endpoint endpoint() {
        std::lock_guard lock(mutex_);
        return endpoint_;
    }

    // Connects, pairs and opens a session; throws when any step fails.
    std::unique_ptr<testing_support::PhoneTestClient> sessionPhone(const std::string& name) {
        auto phone = std::make_unique<testing_support::PhoneTestClient>(endpoint(), name);
        phone->connect();
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone->requestPairing())) {
            throw std::runtime_error("pairing refused");
        }
        std::string digits;
        testing_support::eventually([&] {
            std::lock_guard lock(mutex_);
            digits = code_.value_or("");
            return !digits.empty();
        });
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(phone->enterCode(digits))) {
            throw std::runtime_error("pairing failed");
        }
        if (!std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(phone->openSession())) {
            throw std::runtime_error("session refused");
        }
        return phone;
    }

  private:
    testing_support::LoopThread loop_;
    std::shared_ptr<CompanionNetwork::InMemoryTrustedDeviceStore> store_;
    std::shared_ptr<CompanionNetwork::PairingCoordinator> coordinator_;
    std::unique_ptr<CompanionListener> listener_;
    std::mutex mutex_;
    std::optional<std::string> code_;
    testing_support::PhoneTestClient::Endpoint endpoint_;
};

std::optional<double> probeRoundTrip(testing_support::PhoneTestClient& phone, std::uint32_t number) {
    const auto start = Clock::now();
    phone.send(Message::Probe{number, false});
    const auto reply = phone.receiveUntil(
        [&](const Message& message) {
            const auto* probe = message.as<Message::ProbeReply>();
            return probe != nullptr && probe->number == number;
        },
        5);
    if (!reply) {
        return std::nullopt;
    }
    return seconds(Clock::now() - start);
}

void probeFlood(double floodSeconds) {
    Computer computer;
    auto honest = computer.sessionPhone("Honest");
    std::vector<double> quiet;
    for (std::uint32_t i = 0; i < 200; ++i) {
        if (auto rtt = probeRoundTrip(*honest, i)) {
            quiet.push_back(*rtt);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const double before = residentMiB();
    double peak = before;
    std::vector<double> during;
    int lost = 0;
    std::uint64_t floodBytes = 0, floodConnections = 0, mostOnOne = 0;
    {
        const auto endpoint = computer.endpoint();
        const int connections = std::getenv("FLOOD") ? std::atoi(std::getenv("FLOOD")) : 8;
        std::vector<std::unique_ptr<testing_support::ProbeFlood>> floods;
        for (int i = 0; i < connections; ++i) {
            floods.push_back(std::make_unique<testing_support::ProbeFlood>(
                endpoint.host, endpoint.tcpPort, 1, "127.0.0." + std::to_string(10 + i)));
        }
        const auto end = Clock::now() + std::chrono::duration<double>(floodSeconds);
        std::uint32_t number = 1000;
        while (Clock::now() < end) {
            if (auto rtt = probeRoundTrip(*honest, number++)) {
                during.push_back(*rtt);
            } else {
                ++lost;
            }
            peak = std::max(peak, residentMiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (const auto& flood : floods) {
            floodBytes += flood->bytesSent();
            floodConnections += flood->connections();
            mostOnOne = std::max(mostOnOne, flood->mostSentOnOneConnection());
        }
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double after = residentMiB();
    std::printf("probe flood: 8 connections without a session send probes and never read, %.0f s\n",
                floodSeconds);
    std::printf("  flood: %.1f MiB of probes taken over %llu connections (at most %.2f MiB on one)\n",
                static_cast<double>(floodBytes) / (1 << 20),
                static_cast<unsigned long long>(floodConnections),
                static_cast<double>(mostOnOne) / (1 << 20));
    std::printf(
        "  resident memory: before %.1f MiB, during at most %.1f MiB, after %.1f MiB (goal < 64 MiB)\n",
        before, peak, after);
    std::printf("  honest probe round trip, quiet:  p50 %.3f ms, p99 %.3f ms (%zu probes)\n",
                percentile(quiet, 0.5) * 1e3, percentile(quiet, 0.99) * 1e3, quiet.size());
    std::printf(
        "  honest probe round trip, flood:  p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu probes, %d lost; "
        "goal p99 < 10 ms)\n",
        percentile(during, 0.5) * 1e3, percentile(during, 0.99) * 1e3, percentile(during, 1.0) * 1e3,
        during.size(), lost);
}

void eviction(int runs) {
    Computer computer;
    std::vector<double> times;
    int failures = 0;
    for (int run = 0; run < runs; ++run) {
        const auto endpoint = computer.endpoint();
        std::vector<std::unique_ptr<testing_support::SilentConnections>> silent;
        for (int i = 0; i < 8; ++i) {
            silent.push_back(std::make_unique<testing_support::SilentConnections>(
                endpoint.host, endpoint.tcpPort, 1, "127.0.0." + std::to_string(10 + i)));
        }
        testing_support::eventually([&] {
            return std::all_of(silent.begin(), silent.end(),
                               [](const auto& each) { return each->open() == 1; });
        });
        // The silent ones have had their chance to speak.
        std::this_thread::sleep_for(
            std::chrono::duration<double>(CompanionNetwork::ListenerCore::evictionGrace + 0.1));
        const auto start = Clock::now();
        std::unique_ptr<testing_support::PhoneTestClient> phone;
        // A phone tries again at once when refused, for 20 s at most.
        while (!phone && seconds(Clock::now() - start) < 20) {
            try {
                phone = computer.sessionPhone("Honest " + std::to_string(run));
            } catch (const std::exception&) {
            }
        }
        if (phone) {
            times.push_back(seconds(Clock::now() - start));
        } else {
            ++failures;
        }
        // Done with it: the next run starts with eight silent connections again.
    }
    std::printf("eviction: eight silent connections reopened as they close, %d runs\n", runs);
    std::printf(
        "  time for an honest phone to connect, pair and open a session: p50 %.2f ms, max %.2f ms, "
        "%d of %d failed\n",
        percentile(times, 0.5) * 1e3, percentile(times, 1.0) * 1e3, failures, runs);
}

}  // namespace

int main(int argc, char** argv) {
    const double floodSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    testing_support::ignoreBrokenPipes();
    probeFlood(floodSeconds);
    eviction(10);
    return 0;
}
