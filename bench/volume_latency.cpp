// Volume figures on a private PulseAudio with null sinks: how long a phone's set-volume request takes
// until the server holds the new level, and an outside change until it is reported, next to the same
// change made by `pactl set-sink-volume` as a process. Prints its figures; run: volume_latency [rounds].
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <vector>

#include "media/Volume/PulseAudioVolumeProvider.h"
#include "media/Volume/VolumeController.h"
#include "platform/LoopQueue.h"
#include "testing/PulseAudioSandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
using TrackpadProtocol::Message;

struct Figures {
    std::vector<double> ms;
    void add(Clock::duration d) { ms.push_back(std::chrono::duration<double, std::milli>(d).count()); }
    void print(const char* what) {
        std::sort(ms.begin(), ms.end());
        const auto at = [&](double q) { return ms[static_cast<std::size_t>(q * (ms.size() - 1))]; };
        std::printf("%-58s p50 %7.3f ms  p99 %7.3f ms  max %7.3f ms  (n=%zu)\n", what, at(0.5), at(0.99),
                    ms.back(), ms.size());
    }
};

// Waits for the change handler to see a given level.
struct Reports {
    std::mutex mutex;
    std::condition_variable signal;
    int level = -1;
    void seen(int value) {
        std::lock_guard lock(mutex);
        level = value;
        signal.notify_all();
    }
    bool waitFor(int value) {
        std::unique_lock lock(mutex);
        return signal.wait_for(lock, std::chrono::seconds{5}, [&] { return level == value; });
    }
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    if (auto reason = testing_support::PulseAudioSandbox::unavailableReason()) {
        std::printf("PulseAudio cannot run here: %s\n", reason->c_str());
        return 1;
    }
    testing_support::PulseAudioSandbox server;
    platform::LoopQueue queue("volume-bench");
    media::PulseAudioVolumeProvider::Options options;
    options.server = server.serverAddress();
    auto controller = std::make_shared<media::VolumeController>(
        std::make_unique<media::PulseAudioVolumeProvider>(options), nullptr, queue);
    Reports reports;
    controller->setChangeHandler([&](media::VolumeStatus status) { reports.seen(status.level); });
    controller->start();
    reports.waitFor(100);

    // Another client of the server that sees the sink change, as the desktop's mixer would.
    media::PulseAudioVolumeProvider watcher(options);
    Reports watched;
    watcher.start([&] {
        if (auto volume = watcher.reading().volume) {
            watched.seen(media::VolumeStatus::percentLevel(*volume));
        }
    });

    Figures answered;
    Figures held;
    for (int i = 0; i < rounds; ++i) {
        const int level = 20 + (i % 2) * 40 + (i % 7);
        std::promise<void> done;
        const auto start = Clock::now();
        controller->handle(Message::SetVolume{static_cast<std::uint8_t>(level)},
                           [&](media::VolumeStatus) { done.set_value(); });
        done.get_future().wait();
        answered.add(Clock::now() - start);
        watched.waitFor(level);
        held.add(Clock::now() - start);
    }

    Figures outside;
    for (int i = 0; i < rounds; ++i) {
        const int level = 10 + (i % 2) * 50 + (i % 5);
        const auto start = Clock::now();
        watcher.setVolume(level / 100.0);
        reports.waitFor(level);
        outside.add(Clock::now() - start);
    }

    Figures pactlRun;
    Figures pactlReport;
    const int pactlRounds = std::min(rounds, 50);
    for (int i = 0; i < pactlRounds; ++i) {
        const int level = 15 + (i % 2) * 50 + (i % 3);
        const auto start = Clock::now();
        server.pactl({"set-sink-volume", "test_sink", std::to_string(level) + "%"});
        pactlRun.add(Clock::now() - start);
        reports.waitFor(level);
        pactlReport.add(Clock::now() - start);
    }

    answered.print("set-volume request -> answer (server acknowledged)");
    held.print("set-volume request -> another client sees the level");
    outside.print("outside change (libpulse client) -> report");
    pactlRun.print("`pactl set-sink-volume` as a process, start to exit");
    pactlReport.print("`pactl set-sink-volume` start -> report");
    controller->stop();
    queue.sync([] {});
    watcher.stop();
    return 0;
}
