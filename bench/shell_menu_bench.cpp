// The tray menu's cost: from a change of published state (a phone connects or leaves) to the rebuilt
// menu (derivation of the items and the Qt menu filled again), on Qt's offscreen platform, with two
// paired phones and a pending pairing. latency_us is the last change-to-rebuilt time.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QMenu>
#include <chrono>

#include "app/TrayIcon.h"
#include "app/core/tests/RuntimeFakes.h"

namespace {

using namespace Shell;
using namespace Shell::testing;

void MenuRebuildAfterAChange(benchmark::State& state) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int argc = 1;
    char name[] = "shell_menu_bench";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    RuntimeHarness h;
    TemporaryFolder autostart;
    XdgAutostartLoginItem item("/usr/bin/lumivex", autostart.path());
    LaunchAtLogin login(item, "/proc/self/exe");
    TrayIcon tray(*h.runtime, h.permission, login, h.preferences, {});
    h.runtime->start();
    const Date now = std::chrono::system_clock::now();
    TrustedDevice a, b;
    a.id = DeviceID::random();
    a.name = "Anna's iPhone";
    b.id = DeviceID::random();
    b.name = "Ben's iPhone";
    h.event(PairingEvent::TrustedDevicesChanged{{a, b}});
    h.connect({a.id});
    h.event(PairingEvent::PendingPairingChanged{PendingPairing{
        DeviceID::random(), "Cleo's iPhone", *TrackpadProtocol::PairingCode::fromDigits("123456"), now,
        now + std::chrono::seconds(120), 0}});
    QCoreApplication::processEvents();
    bool on = false;
    for (auto _ : state) {
        on = !on;
        // A phone connects or leaves: no file is written, only the published state changes.
        h.connect(on ? std::set<DeviceID>{a.id, b.id} : std::set<DeviceID>{a.id});
        QCoreApplication::processEvents();
        h.calls.clear();
        benchmark::DoNotOptimize(tray.menu().actions().size());
    }
    state.counters["latency_us"] = static_cast<double>(tray.lastRebuildLatency().count());
}
BENCHMARK(MenuRebuildAfterAChange)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
