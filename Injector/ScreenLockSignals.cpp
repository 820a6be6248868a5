#include "Injector/ScreenLockSignals.h"

#include <algorithm>
#include <vector>

#include "platform/DBus.h"
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

}  // namespace Injector
