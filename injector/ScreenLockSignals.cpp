#include "injector/ScreenLockSignals.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

#include "platform/DBus.h"
#include "platform/DispatchQueue.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace Injector {
namespace {

namespace dbus = platform::dbus;

struct Subscription {
    std::unique_ptr<dbus::Connection> session;
    std::unique_ptr<dbus::Connection> system;
    std::vector<dbus::Slot> slots;
};

void keep(Subscription& subscription, dbus::Result<dbus::Slot> slot) {
    if (slot) {
        subscription.slots.push_back(std::move(*slot));
    }
}

}  // namespace

ScreenLockMonitor::Subscribe screenLockSignals(platform::EventLoop& loop) {
    return [&loop](std::function<void()> handler) -> ScreenLockMonitor::Unsubscribe {
        auto subscription = std::make_shared<Subscription>();
        if (auto session = dbus::Connection::open(dbus::Connection::Bus::session)) {
            subscription->session = std::move(*session);
            subscription->session->attach(loop);
            for (const char* interface : {"org.freedesktop.ScreenSaver", "org.gnome.ScreenSaver"}) {
                keep(*subscription,
                     subscription->session->matchSignal({"", "", interface, "ActiveChanged", "", ""},
                                                        [handler](const dbus::Message&) { handler(); }));
            }
        }
        if (auto system = dbus::Connection::open(dbus::Connection::Bus::system)) {
            subscription->system = std::move(*system);
            subscription->system->attach(loop);
            for (const char* member : {"Lock", "Unlock"}) {
                keep(*subscription,
                     subscription->system->matchSignal(
                         {"org.freedesktop.login1", "", "org.freedesktop.login1.Session", member, "", ""},
                         [handler](const dbus::Message&) { handler(); }));
            }
            keep(*subscription, subscription->system->matchPropertiesChanged(
                                    "org.freedesktop.login1", "", "org.freedesktop.login1.Session",
                                    [handler](const dbus::PropertiesChanged& change) {
                                        const bool hint =
                                            dbus::find(change.changed, "LockedHint") != nullptr ||
                                            std::find(change.invalidated.begin(), change.invalidated.end(),
                                                      "LockedHint") != change.invalidated.end();
                                        if (hint) {
                                            handler();
                                        }
                                    }));
        }
        return [subscription] {
            subscription->slots.clear();
            subscription->session.reset();
            subscription->system.reset();
        };
    };
}

struct BackgroundLockProbe::State {
    State(platform::EventLoop& loop, std::function<bool()> probe) : loop(loop), probe(std::move(probe)) {}
    platform::EventLoop& loop;
    std::function<bool()> probe;
    std::atomic<bool> published{false};
    std::atomic<bool> reading{false};
    // Loop thread only.
    std::map<std::uint64_t, std::function<void()>> handlers;
    std::uint64_t nextHandler = 0;
    // Last: it goes first, finishing a reading under way while the rest still stands.
    platform::DispatchQueue worker{"dev.quelmar.trackpad.mac.lockprobe"};
};

BackgroundLockProbe::BackgroundLockProbe(platform::EventLoop& loop, std::function<bool()> probe)
    : state_(std::make_shared<State>(loop, std::move(probe))) {
    read();
}

BackgroundLockProbe::~BackgroundLockProbe() {
    state_->worker.sync([] {});
}

bool BackgroundLockProbe::read() {
    State& state = *state_;
    if (!state.reading.exchange(true)) {
        std::weak_ptr<State> weak = state_;
        state.worker.async([&state, weak] {
            const bool locked = state.probe ? state.probe() : false;
            state.reading = false;
            if (state.published.exchange(locked) != locked) {
                state.loop.post([weak] {
                    auto alive = weak.lock();
                    if (!alive) {
                        return;
                    }
                    // A copy: a handler may unsubscribe.
                    const auto handlers = alive->handlers;
                    for (const auto& [id, handler] : handlers) {
                        handler();
                    }
                });
            }
        });
    }
    return state.published;
}

ScreenLockMonitor::Subscribe BackgroundLockProbe::subscribe(ScreenLockMonitor::Subscribe signals) {
    std::weak_ptr<State> weak = state_;
    return [weak,
            signals = std::move(signals)](std::function<void()> handler) -> ScreenLockMonitor::Unsubscribe {
        ScreenLockMonitor::Unsubscribe inner = signals ? signals(handler) : ScreenLockMonitor::Unsubscribe{};
        std::uint64_t id = 0;
        if (auto state = weak.lock()) {
            id = ++state->nextHandler;
            state->handlers.emplace(id, std::move(handler));
        }
        return [weak, id, inner = std::move(inner)] {
            if (auto state = weak.lock()) {
                state->handlers.erase(id);
            }
            if (inner) {
                inner();
            }
        };
    };
}

}  // namespace Injector
