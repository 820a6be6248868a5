// The lock screen's checks against a private Xvfb holding `windows` override-redirect windows of one
// client, each a pixel off the screen: whether the screen is locked, as the screen-lock poll asks every
// few seconds, on an unlocked desktop and with a genuine i3lock under or over the windows; and the check
// made before every typed key (locked, and the locker's field still the one on top), with the locker
// over them. logind is stood in on a private bus and sets no LockedHint, so the windows decide.
#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "injector/SystemLockScreen.h"
#include "testing/PrivateBus.h"
#include "testing/SessionServices.h"
#include "testing/Subprocess.h"
#include "testing/XvfbServer.h"

namespace {

using namespace Injector;
using namespace std::chrono_literals;

// `count` mapped override-redirect windows, 1x1 at (-10, -10), on a connection of their own; they go
// with the object.
class WindowFlood {
  public:
    WindowFlood(const std::string& display, int count) : c_(xcb_connect(display.c_str(), nullptr)) {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        const std::uint32_t overrideRedirect[] = {1};
        for (int i = 0; i < count; ++i) {
            const xcb_window_t window = xcb_generate_id(c_);
            xcb_create_window(c_, XCB_COPY_FROM_PARENT, window, screen->root, -10, -10, 1, 1, 0,
                              XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT,
                              overrideRedirect);
            xcb_map_window(c_, window);
        }
        std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr));
    }
    ~WindowFlood() { xcb_disconnect(c_); }
    WindowFlood(const WindowFlood&) = delete;
    WindowFlood& operator=(const WindowFlood&) = delete;

  private:
    xcb_connection_t* c_;
};

// A genuine i3lock on the display, nothing loaded into it, once it holds the keyboard.
std::unique_ptr<testing_support::Subprocess> startLocker(const std::string& display) {
    auto locker = std::make_unique<testing_support::Subprocess>(
        std::vector<std::string>{"i3lock", "-n"},
        testing_support::EnvironmentChanges{{"DISPLAY", display},
                                            {"LD_PRELOAD", std::nullopt},
                                            {"LD_LIBRARY_PATH", std::nullopt},
                                            {"LD_AUDIT", std::nullopt}});
    const std::unique_ptr<LockScreenProbe> probe = makeLinuxLockScreenProbe(display, {});
    if (!testing_support::waitUntil([&] { return probe->secureInputEnabled(); }, 10s)) {
        return nullptr;
    }
    return locker;
}

enum Scene { unlockedDesktop = 0, lockerUnderWindows = 1, lockerOverWindows = 2 };

// The world of one benchmark: the display, logind's stand-in, the lock screen watching from before the
// locker came, the windows and the locker in the scene's order.
struct World {
    explicit World(Scene scene, int windows)
        : services(bus.address(), {"logind"}, bus.folder()),
          environment(
              {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}, {"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}}),
          lockScreen(server.displayName(), {[](pid_t) { return std::optional<std::string>("7"); },
                                            [] { return std::optional<std::string>("7"); }}) {
        if (scene == lockerOverWindows) {
            flood.emplace(server.displayName(), windows);
        }
        if (scene != unlockedDesktop) {
            locker = startLocker(server.displayName());
        }
        if (scene != lockerOverWindows) {
            flood.emplace(server.displayName(), windows);
        }
    }
    testing_support::XvfbServer server;
    testing_support::PrivateBus bus;
    testing_support::SessionServices services;
    testing_support::ScopedEnvironment environment;
    SystemLockScreen lockScreen;
    std::optional<WindowFlood> flood;
    std::unique_ptr<testing_support::Subprocess> locker;
};

std::optional<std::string> unavailableReason() {
    if (!testing_support::XvfbServer::isInstalled()) {
        return "Xvfb is not installed";
    }
    if (!testing_support::findExecutable("i3lock")) {
        return "i3lock is not installed";
    }
    if (auto reason = testing_support::PrivateBus::unavailableReason()) {
        return reason;
    }
    return testing_support::SessionServices::unavailableReason();
}

// Whether the screen is locked, as the screen-lock poll asks.
void BM_IsLocked(benchmark::State& state) {
    if (const auto reason = unavailableReason()) {
        state.SkipWithError(reason->c_str());
        return;
    }
    const auto scene = Scene(state.range(0));
    World world(scene, int(state.range(1)));
    if (scene != unlockedDesktop && !world.locker) {
        state.SkipWithError("i3lock did not take the keyboard");
        return;
    }
    const bool expected = scene != unlockedDesktop;
    for (auto _ : state) {
        if (world.lockScreen.isLocked() != expected) {
            state.SkipWithError(expected ? "read as unlocked under the locker" : "read as locked");
            return;
        }
    }
}
BENCHMARK(BM_IsLocked)
    ->ArgNames({"scene", "windows"})
    ->ArgsProduct({{unlockedDesktop, lockerUnderWindows, lockerOverWindows}, {0, 32, 70, 1000, 5000}})
    ->Unit(benchmark::kMillisecond);

// The check before every typed key, with the locker's window over the others.
void BM_KeyCheck(benchmark::State& state) {
    if (const auto reason = unavailableReason()) {
        state.SkipWithError(reason->c_str());
        return;
    }
    World world(lockerOverWindows, int(state.range(0)));
    if (!world.locker) {
        state.SkipWithError("i3lock did not take the keyboard");
        return;
    }
    const LockScreenFocus focus = world.lockScreen.examine();
    const auto* found = std::get_if<LockScreenFocus::PasswordField>(&focus.value);
    if (found == nullptr) {
        state.SkipWithError("the locker's field was not verified");
        return;
    }
    for (auto _ : state) {
        if (!world.lockScreen.isLocked() || !world.lockScreen.isFocused(found->field)) {
            state.SkipWithError("the check failed");
            return;
        }
    }
}
BENCHMARK(BM_KeyCheck)
    ->ArgName("windows")
    ->Arg(0)
    ->Arg(70)
    ->Arg(1000)
    ->Arg(5000)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
