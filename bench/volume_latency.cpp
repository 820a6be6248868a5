// Volume figures on a private PulseAudio with null sinks: how long a phone's set-volume request takes
// until the server holds the new level, and an outside change until it is reported, next to the same
// change made by `pactl set-sink-volume` as a process. Then the same through the real companion process
// with a paired phone (on Xvfb, a private bus and a scripted media player), in interleaved rounds: the
// phone's set-volume round trip beside `pactl`, play/pause until the player's PlaybackStatus changes,
// and volume up until another client of the server sees the new level. Prints its figures and the
// load average; run: volume_latency [rounds].
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <vector>

#include <fstream>
#include <string>
#include <thread>

#include "media/volume/PulseAudioVolumeProvider.h"
#include "media/volume/VolumeController.h"
#include "platform/DBus.h"
#include "platform/LoopQueue.h"
#include "testing/CompanionProcess.h"
#include "testing/PrivateBus.h"
#include "testing/PulseAudioSandbox.h"
#include "testing/ScriptedMediaPlayer.h"
#include "testing/XvfbServer.h"

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

// Minimum, median and maximum, for the figures of few rounds.
struct Spread {
    std::vector<double> ms;
    void add(Clock::duration d) { ms.push_back(std::chrono::duration<double, std::milli>(d).count()); }
    void print(const char* what) {
        if (ms.empty()) {
            std::printf("%-58s no rounds\n", what);
            return;
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-58s min %7.2f ms  median %7.2f ms  max %7.2f ms  (n=%zu)\n", what, ms.front(),
                    ms[ms.size() / 2], ms.back(), ms.size());
    }
};

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The phone's requests through the companion process, each kind once per round, interleaved.
void throughTheCompanion(testing_support::PulseAudioSandbox& server, Reports& watched, int rounds) {
    using namespace std::chrono_literals;
    if (!testing_support::XvfbServer::isInstalled() || testing_support::PrivateBus::unavailableReason() ||
        !testing_support::ScriptedMediaPlayer::isAvailable()) {
        std::printf("Xvfb, dbus-daemon or /usr/bin/python3 is missing: no figures through the companion\n");
        return;
    }
    testing_support::XvfbServer display;
    testing_support::PrivateBus bus;
    testing_support::ScriptedMediaPlayer player(bus.address(), "bench");
    player.send(R"({"status":"Playing","metadata":{"xesam:title":["s","Bench"]}})");
    testing_support::TemporaryFolder folder;
    testing_support::CompanionProcess companion(
        LUMIVEX_COMPANION_PATH, folder.path, display.displayName(), {"--headless"},
        testing_support::EnvironmentChanges{{"DBUS_SESSION_BUS_ADDRESS", bus.address()},
                                            {"PULSE_SERVER", server.serverAddress()}});
    auto phone = companion.pair(companion.waitUntilReady(), "Bench Phone", 30s);
    auto connection = platform::dbus::Connection::openAddress(bus.address());
    if (!connection) {
        std::printf("the private bus cannot be reached\n");
        return;
    }
    const auto status = [&] {
        auto value = (*connection)
                         ->property("org.mpris.MediaPlayer2.bench", "/org/mpris/MediaPlayer2",
                                    "org.mpris.MediaPlayer2.Player", "PlaybackStatus");
        return value && value->string() ? *value->string() : std::string();
    };

    Spread phoneSet, pactlSet, playPause, volumeUp;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        server.pactl({"set-sink-volume", "test_sink", std::to_string(30 + i % 5) + "%"});
        pactlSet.add(Clock::now() - start);

        const int level = 40 + (i % 2) * 10 + (i % 3);
        start = Clock::now();
        phone->send(Message::SetVolume{static_cast<std::uint8_t>(level)});
        if (phone->receiveUntil(
                [&](const Message& message) {
                    const auto* answer = message.as<Message::VolumeStatus>();
                    return answer != nullptr && answer->status.level == level;
                },
                5)) {
            phoneSet.add(Clock::now() - start);
        }
        watched.waitFor(level);

        start = Clock::now();
        phone->send(Message::MediaCommand{TrackpadProtocol::MediaCommand::volumeUp});
        if (watched.waitFor(level + media::VolumeController::volumeKeyStep)) {
            volumeUp.add(Clock::now() - start);
        }

        const std::string before = status();
        start = Clock::now();
        phone->send(Message::MediaCommand{TrackpadProtocol::MediaCommand::playPause});
        while (status() == before && Clock::now() - start < 5s) {
            std::this_thread::sleep_for(200us);
        }
        if (status() != before) {
            playPause.add(Clock::now() - start);
        }
    }
    std::printf("\nThrough the companion process, %d interleaved rounds, load average %s:\n", rounds,
                loadAverage().c_str());
    phoneSet.print("phone set-volume -> answer (round trip)");
    pactlSet.print("`pactl set-sink-volume` as a process, start to exit");
    volumeUp.print("phone volume up -> another client sees the level");
    playPause.print("phone play/pause -> player's PlaybackStatus changed");
    companion.stop(SIGTERM);
}

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

    std::printf("In this process, load average %s:\n", loadAverage().c_str());
    answered.print("set-volume request -> answer (server acknowledged)");
    held.print("set-volume request -> another client sees the level");
    outside.print("outside change (libpulse client) -> report");
    pactlRun.print("`pactl set-sink-volume` as a process, start to exit");
    pactlReport.print("`pactl set-sink-volume` start -> report");
    controller->stop();
    queue.sync([] {});
    throughTheCompanion(server, watched, std::min(rounds, 20));
    watcher.stop();
    return 0;
}
