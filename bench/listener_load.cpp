// Load driver for the companion listener: eight phones on loopback pair once each, open a session and
// a DTLS flow, then send move datagrams at 120 Hz plus one volume request a second for the run time.
// Prints what arrived against what was sent, the latency from a phone's send to onMessage, the
// listener thread's CPU share, and how long pairing and opening a session took.
//
//   listener_load [seconds]   (10 by default)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "network/CompanionListener.h"
#include "network/PairingCoordinator.h"
#include "network/TrustedDevice.h"
#include "testing/LoopThread.h"
#include "testing/PhoneTestClient.h"

namespace {

using CompanionNetwork::CompanionListener;
using TrackpadProtocol::Message;
using Clock = std::chrono::steady_clock;

constexpr int phoneCount = 8;
constexpr double moveRate = 120;

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double threadCPUSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

struct Arrival {
    int phone;
    int sequence;
    Clock::time_point at;
};

}  // namespace

int main(int argc, char** argv) {
    const double runSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const int movesPerPhone = static_cast<int>(runSeconds * moveRate);

    testing_support::LoopThread loop;
    auto store = std::make_shared<CompanionNetwork::InMemoryTrustedDeviceStore>();
    auto coordinator = std::make_shared<CompanionNetwork::PairingCoordinator>(
        store, "Load Computer", CompanionNetwork::PairingCoordinator::Configuration{},
        [] { return std::chrono::system_clock::now(); });

    std::mutex mutex;
    std::optional<std::string> code;
    coordinator->setEventHandler([&](const CompanionNetwork::PairingEvent& event) {
        if (const auto* changed = event.as<CompanionNetwork::PairingEvent::PendingPairingChanged>()) {
            std::lock_guard lock(mutex);
            code =
                changed->pairing ? std::optional<std::string>(changed->pairing->code.digits()) : std::nullopt;
        }
    });

    std::vector<Arrival> arrivals;
    arrivals.reserve(static_cast<std::size_t>(phoneCount * movesPerPhone) + 64);
    std::vector<std::vector<Clock::time_point>> sentAt(
        phoneCount, std::vector<Clock::time_point>(static_cast<std::size_t>(movesPerPhone)));
    std::atomic<std::uint64_t> otherDelivered = 0;
    std::optional<CompanionListener::Details> details;
    CompanionListener::Configuration configuration;
    configuration.serviceName = "Load Computer";
    configuration.loopbackOnly = true;
    configuration.wakeAddresses.clear();

    auto listener = std::make_unique<CompanionListener>(
        coordinator, configuration, loop.loop(),
        [&](const Message& message, const TrackpadProtocol::UUID&) {
            // The listener's thread: only what is needed to measure later.
            if (const auto* move = message.as<Message::Move>()) {
                arrivals.push_back({static_cast<int>(move->dy), static_cast<int>(move->dx), Clock::now()});
            } else {
                ++otherDelivered;
            }
        },
        nullptr,
        [&](const CompanionListener::State& state) {
            if (const auto* ready = state.as<CompanionListener::State::Ready>()) {
                std::lock_guard lock(mutex);
                details = ready->details;
            }
        },
        nullptr, nullptr, nullptr, nullptr,
        [](const Message&, const TrackpadProtocol::UUID&, CompanionListener::VolumeReply reply) {
            reply(TrackpadProtocol::VolumeStatus{50, false, true});
        });
    listener->start();
    if (!testing_support::eventually([&] {
            std::lock_guard lock(mutex);
            return details.has_value();
        })) {
        std::fprintf(stderr, "the listener did not start\n");
        return 1;
    }
    const testing_support::PhoneTestClient::Endpoint endpoint{"127.0.0.1", details->tcpPort,
                                                              details->udpPort};

    // Pairing is one phone at a time, as the computer shows one code at a time.
    std::vector<std::unique_ptr<testing_support::PhoneTestClient>> phones;
    std::vector<double> pairTimes, sessionTimes;
    for (int i = 0; i < phoneCount; ++i) {
        auto phone =
            std::make_unique<testing_support::PhoneTestClient>(endpoint, "Load iPhone " + std::to_string(i));
        const auto pairStart = Clock::now();
        phone->connect();
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::CodeNeeded>(phone->requestPairing())) {
            std::fprintf(stderr, "pairing was refused\n");
            return 1;
        }
        std::string digits;
        testing_support::eventually([&] {
            std::lock_guard lock(mutex);
            digits = code.value_or("");
            return !digits.empty();
        });
        if (!std::holds_alternative<TrackpadProtocol::PhonePairing::Succeeded>(phone->enterCode(digits))) {
            std::fprintf(stderr, "pairing failed\n");
            return 1;
        }
        pairTimes.push_back(seconds(Clock::now() - pairStart));
        {
            std::lock_guard lock(mutex);
            code.reset();
        }
        phone->disconnect();
        const auto sessionStart = Clock::now();
        phone->connect();
        if (!std::holds_alternative<TrackpadProtocol::PhoneSession::Accepted>(phone->openSession())) {
            std::fprintf(stderr, "the session was refused\n");
            return 1;
        }
        phone->connectDatagrams();
        sessionTimes.push_back(seconds(Clock::now() - sessionStart));
        phones.push_back(std::move(phone));
    }

    const double cpuBefore = loop.call([] { return threadCPUSeconds(); });
    const auto runStart = Clock::now();
    std::vector<int> sent(phoneCount, 0);
    std::vector<std::vector<double>> requestTimes(phoneCount);
    std::vector<std::thread> threads;
    for (int p = 0; p < phoneCount; ++p) {
        threads.emplace_back([&, p] {
            auto& phone = *phones[static_cast<std::size_t>(p)];
            const auto start = Clock::now() + std::chrono::milliseconds(p);  // phones are not in lockstep
            const auto tick =
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / moveRate));
            for (int i = 0; i < movesPerPhone; ++i) {
                std::this_thread::sleep_until(start + tick * i);
                sentAt[static_cast<std::size_t>(p)][static_cast<std::size_t>(i)] = Clock::now();
                phone.sendDatagram(Message::Move{static_cast<float>(i), static_cast<float>(p)});
                ++sent[static_cast<std::size_t>(p)];
                if (i % static_cast<int>(moveRate) == 0) {
                    const auto asked = Clock::now();
                    phone.send(Message::VolumeStatusRequest{});
                    if (phone.receiveCase<Message::VolumeStatus>(2)) {
                        requestTimes[static_cast<std::size_t>(p)].push_back(seconds(Clock::now() - asked));
                    }
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    // Let the last datagrams land.
    testing_support::eventually(
        [&] {
            return loop.call([&] { return arrivals.size(); }) >=
                   static_cast<std::size_t>(phoneCount * movesPerPhone);
        },
        2);
    const double wall = seconds(Clock::now() - runStart);
    const double cpuAfter = loop.call([] { return threadCPUSeconds(); });

    std::vector<double> latencies;
    std::size_t delivered = 0;
    loop.call([&] {
        for (const Arrival& arrival : arrivals) {
            if (arrival.phone < 0 || arrival.phone >= phoneCount || arrival.sequence < 0 ||
                arrival.sequence >= movesPerPhone) {
                continue;
            }
            ++delivered;
            latencies.push_back(seconds(
                arrival.at -
                sentAt[static_cast<std::size_t>(arrival.phone)][static_cast<std::size_t>(arrival.sequence)]));
        }
    });
    std::vector<double> requests;
    for (const auto& each : requestTimes) {
        requests.insert(requests.end(), each.begin(), each.end());
    }
    int totalSent = 0;
    for (const int count : sent) {
        totalSent += count;
    }

    std::printf(
        "listener load: %d phones, %.0f Hz moves by DTLS datagram + 1 volume request/s by TLS, %.1f s\n",
        phoneCount, moveRate, runSeconds);
    std::printf("  moves delivered / sent:     %zu / %d (%.3f%% lost)\n", delivered, totalSent,
                totalSent > 0 ? 100.0 * (totalSent - static_cast<double>(delivered)) / totalSent : 0.0);
    std::printf("  send -> onMessage latency:  p50 %.3f ms, p99 %.3f ms, max %.3f ms\n",
                percentile(latencies, 0.50) * 1e3, percentile(latencies, 0.99) * 1e3,
                percentile(latencies, 1.0) * 1e3);
    std::printf("  request round trip (TLS):   p50 %.3f ms, p99 %.3f ms (%zu requests)\n",
                percentile(requests, 0.50) * 1e3, percentile(requests, 0.99) * 1e3, requests.size());
    std::printf("  listener thread CPU:        %.3f s of %.3f s wall (%.2f%% of one core)\n",
                cpuAfter - cpuBefore, wall, 100.0 * (cpuAfter - cpuBefore) / wall);
    std::printf("  time to pair (TLS + CPace): p50 %.2f ms, max %.2f ms\n", percentile(pairTimes, 0.5) * 1e3,
                percentile(pairTimes, 1.0) * 1e3);
    std::printf("  time to open a session:     p50 %.2f ms, max %.2f ms (TLS, session, DTLS flow)\n",
                percentile(sessionTimes, 0.5) * 1e3, percentile(sessionTimes, 1.0) * 1e3);

    phones.clear();
    loop.call([&] { listener.reset(); });
    return delivered == static_cast<std::size_t>(totalSent) ? 0 : 2;
}
