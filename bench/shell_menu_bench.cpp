// The tray menu's cost, on Qt's offscreen platform with two paired phones and a pending pairing:
// - MenuRebuildAfterAChange: from a change of published state (a phone connects or leaves) to the
//   rebuilt menu (derivation of the items and the Qt menu filled again). latency_us is the last
//   change-to-rebuilt time.
// - OpenMenuHeapOverChanges: the menu left open with its paired-phones submenu and a phone's submenu,
//   their items highlighted as under the pointer, while each phone in turn leaves and comes back;
//   heap_growth_kB is how much more of the heap is in use after the 2,000 changes than before them
//   (glibc's count of allocated bytes), bytes_per_change the same per change.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <chrono>

#include "app/TrayIcon.h"
#include "app/core/tests/RuntimeFakes.h"

namespace {

using namespace Shell;
using namespace Shell::testing;

// The companion's tray and runtime with two paired phones, Anna's connected, and a phone pairing.
struct TrayWorld {
    TrayWorld() {
        h.runtime->start();
        const Date now = std::chrono::system_clock::now();
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
    }
    // A phone connects or leaves: no file is written, only the published state changes.
    void connect(std::set<DeviceID> connected) {
        h.connect(std::move(connected));
        QCoreApplication::processEvents();
        h.calls.clear();
    }
    // Ben comes and goes.
    void change(bool on) { connect(on ? std::set<DeviceID>{a.id, b.id} : std::set<DeviceID>{a.id}); }
    // Each phone in turn leaves and comes back: Anna leaves, Anna is back, Ben leaves, Ben is back, ...
    void changeInTurn(int change) {
        const DeviceID& staying = change / 2 % 2 == 0 ? b.id : a.id;
        connect(change % 2 == 0 ? std::set<DeviceID>{staying} : std::set<DeviceID>{a.id, b.id});
    }

    RuntimeHarness h;
    TemporaryFolder autostart;
    XdgAutostartLoginItem item{"/usr/bin/lumivex", autostart.path()};
    LaunchAtLogin login{item, "/proc/self/exe"};
    TrayIcon tray{*h.runtime, h.permission, login, h.preferences, {}};
    TrustedDevice a, b;
};

void MenuRebuildAfterAChange(benchmark::State& state) {
    TrayWorld world;
    bool on = false;
    for (auto _ : state) {
        on = !on;
        world.change(on);
        benchmark::DoNotOptimize(world.tray.menu().actions().size());
    }
    state.counters["latency_us"] = static_cast<double>(world.tray.lastRebuildLatency().count());
}
BENCHMARK(MenuRebuildAfterAChange)->Unit(benchmark::kMicrosecond);

void OpenMenuHeapOverChanges(benchmark::State& state) {
    TrayWorld world;
    QMenu& menu = world.tray.menu();
    menu.popup(QPoint(10, 10));
    QAction* pairedItem = menu.findChild<QAction*>(QStringLiteral("companion.pairedPhones"));
    menu.setActiveAction(pairedItem);
    QMenu* paired = pairedItem->menu();
    paired->popup(QPoint(200, 10));
    paired->setActiveAction(paired->actions().front());
    paired->actions().front()->menu()->popup(QPoint(400, 10));
    // Every text the menus show has been drawn once before the count starts.
    int change = 0;
    for (; change < 20; ++change) {
        world.changeInTurn(change);
    }
    const std::size_t before = mallinfo2().uordblks;
    for (auto _ : state) {
        world.changeInTurn(change++);
    }
    const double growth = static_cast<double>(mallinfo2().uordblks) - static_cast<double>(before);
    state.counters["heap_growth_kB"] = growth / 1024;
    state.counters["bytes_per_change"] = growth / static_cast<double>(state.iterations());
    menu.hide();
}
BENCHMARK(OpenMenuHeapOverChanges)->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

// One application for every row, made after the benchmark library has taken its own arguments.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
