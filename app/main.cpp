// The headless companion: advertises the computer, pairs phones and turns a paired phone's pointer
// input into X input events. The pairing code of a phone that asks to pair is logged (notice level).
//
// Thread: everything runs on the main EventLoop.
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>

#include "Injector/HIDEventPoster.h"
#include "Injector/InputInjector.h"
#include "Injector/SystemScreenGeometry.h"
#include "network/CompanionListener.h"
#include "network/FileTrustedDeviceStore.h"
#include "network/HostName.h"
#include "network/InputOwnership.h"
#include "network/PairingCoordinator.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace {

using CompanionNetwork::CompanionListener;
using CompanionNetwork::PairingEvent;
using TrackpadProtocol::Message;
using TrackpadProtocol::UUID;

const platform::Logger logger("dev.quelmar.trackpad.mac", "companion");

// Gives pointer control to the phone that sends input and hands its messages to the injector; a
// change of controller resets the injector so no button stays held for the previous phone.
class InputRouter {
public:
    explicit InputRouter(Injector::InputInjector& injector) : injector_(injector) {}

    void message(const Message& message, const UUID& device) {
        if (ownership_.takeControl(device)) {
            injector_.reset();
            injector_.setInputController(device);
        }
        apply(message, device);
    }

    // Closing messages the listener makes itself count only for the phone in control.
    void cleanup(const Message& message, const UUID& device) {
        if (ownership_.decision(device) != CompanionNetwork::InputOwnership::Decision::deliver) return;
        apply(message, device);
    }

    void devicesChanged(const std::set<UUID>& connected) {
        if (ownership_.controller && !connected.contains(*ownership_.controller)) {
            ownership_.controller.reset();
            injector_.reset();
        }
    }

private:
    void apply(const Message& message, const UUID& device) {
        for (const auto& item : injector_.sequence(message, device)) injector_.handle(item);
    }

    Injector::InputInjector& injector_;
    CompanionNetwork::InputOwnership ownership_;
};

std::string describe(const CompanionListener::State& state) {
    if (auto ready = state.as<CompanionNetwork::ListenerState::Ready>()) {
        return "ready as \"" + ready->details.serviceName + "\" on TCP " +
               std::to_string(ready->details.tcpPort) + " and UDP " + std::to_string(ready->details.udpPort);
    }
    if (auto waiting = state.as<CompanionNetwork::ListenerState::Waiting>()) return "waiting: " + waiting->reason;
    if (auto failed = state.as<CompanionNetwork::ListenerState::Failed>()) return "failed: " + failed->reason;
    if (state.is<CompanionNetwork::ListenerState::Setup>()) return "starting";
    return "stopped";
}

int run() {
    platform::EventLoop loop;

    auto store = std::make_shared<CompanionNetwork::FileTrustedDeviceStore>(
        CompanionNetwork::FileTrustedDeviceStore::defaultURL());
    std::shared_ptr<CompanionNetwork::PairingCoordinator> coordinator;
    try {
        coordinator = std::make_shared<CompanionNetwork::PairingCoordinator>(
            store, CompanionNetwork::HostName::current(), CompanionNetwork::PairingCoordinator::Configuration{},
            [] { return std::chrono::system_clock::now(); });
    } catch (const std::exception& error) {
        logger.error(std::string("Lumivex paired iPhones list unusable: ") + error.what());
        return 1;
    }

    Injector::HIDEventPoster poster;
    Injector::SystemScreenGeometry geometry;
    Injector::InputInjector injector(poster, geometry, loop, Injector::InputInjector::Configuration{},
                                     [&loop] { return loop.now(); });
    if (!poster.isAvailable()) logger.error("The X display cannot be reached or offers no XTEST; input is dropped");
    InputRouter router(injector);

    coordinator->setEventHandler([&router](const PairingEvent& event) {
        if (auto changed = event.as<PairingEvent::PendingPairingChanged>(); changed && changed->pairing) {
            logger.notice("Pairing code for \"" + changed->pairing->deviceName +
                          "\": " + changed->pairing->code.description());
        } else if (auto connected = event.as<PairingEvent::ConnectedDevicesChanged>()) {
            router.devicesChanged(connected->devices);
        }
    });

    CompanionListener listener(
        coordinator, CompanionListener::Configuration{}, loop,
        [&router](const Message& message, const UUID& device) { router.message(message, device); },
        [&router](const Message& message, const UUID& device) { router.cleanup(message, device); },
        [](const CompanionListener::State& state) { logger.notice("Listener " + describe(state)); },
        {}, {}, {}, {}, {});

    // SIGINT and SIGTERM end the process through the loop, so the listener withdraws cleanly.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int signalFD = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFD < 0) {
        std::perror("signalfd");
        return 1;
    }
    loop.watch(signalFD, platform::EventLoop::readable, [&](std::uint32_t) {
        signalfd_siginfo info;
        while (read(signalFD, &info, sizeof info) == sizeof info) {
        }
        listener.stop();
        loop.post([&loop] { loop.stop(); });
    });

    listener.start();
    loop.run();
    injector.reset();
    close(signalFD);
    return 0;
}

}  // namespace

int main() {
    try {
        return run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "lumivex-companion: %s\n", error.what());
        return 1;
    }
}
