// The headless companion: advertises the computer, pairs phones and turns a paired phone's pointer
// input into X input events. The pairing code of a phone that asks to pair is logged (notice level).
//
//   lumivex-companion [--log-to-stderr]
//     --log-to-stderr  log lines go to stderr even where journald runs (for scripts that read them)
//
// SIGINT and SIGTERM stop it cleanly (exit status 0).
//
// Thread: everything runs on the main EventLoop.
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "Injector/HIDEventPoster.h"
#include "Injector/InputInjector.h"
#include "Injector/SystemScreenGeometry.h"
#include "network/CompanionListener.h"
#include "network/FileTrustedDeviceStore.h"
#include "network/HostName.h"
#include "network/InputOwnership.h"
#include "network/LogText.h"
#include "network/PairingCoordinator.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"

namespace {

using CompanionNetwork::CompanionListener;
using CompanionNetwork::PairingEvent;
using TrackpadProtocol::Message;
using TrackpadProtocol::UUID;

const platform::Logger logger("dev.quelmar.trackpad.mac", "companion");

// Routes phone input to the injector. Control goes to the phone whose input gets through the
// injector's sequencers; a change of controller resets the injector, so nothing stays held for the
// previous phone. Without a usable X display (the counterpart of missing Accessibility) input is
// dropped and the state reset.
class InputRouter {
  public:
    InputRouter(Injector::InputInjector& injector, const Injector::HIDEventPoster& poster)
        : injector_(injector), poster_(poster) {}

    void message(const Message& message, const UUID& device) {
        // Screen view, annotations and pictures have no service here; they are not input either.
        if (message.is<Message::ScreenViewStart>() || message.is<Message::ScreenViewSelectDisplay>() ||
            message.is<Message::ScreenshotRequest>() || message.is<Message::ScreenViewStop>() ||
            message.is<Message::PresentationImage>() || message.is<Message::ScreenDisplaysRequest>() ||
            message.is<Message::Annotation>()) {
            return;
        }
        if (!poster_.isAvailable()) {
            releaseControl();
            return;
        }
        const std::vector<Message> items = injector_.sequence(message, device);
        // A message the sequencers hold back or drop does not change the controller.
        if (items.empty()) {
            return;
        }
        if (ownership_.takeControl(device)) {
            injector_.setInputController(device);
            injector_.reset();
        }
        for (const Message& item : items) {
            injector_.handle(item);
        }
    }

    // Closing messages the listener makes itself count only for the phone in control, and are not
    // sequenced again.
    void cleanup(const Message& message, const UUID& device) {
        if (ownership_.decision(device) != CompanionNetwork::InputOwnership::Decision::deliver) {
            return;
        }
        if (!poster_.isAvailable()) {
            return;
        }
        injector_.handle(message);
    }

    void devicesChanged(const std::set<UUID>& connected) {
        injector_.retainDevices(std::unordered_set<UUID>(connected.begin(), connected.end()));
        if (ownership_.controller && !connected.contains(*ownership_.controller)) {
            releaseControl();
        }
    }

    void sessionsRevoked(const UUID& device) {
        injector_.forgetDevice(device);
        if (ownership_.controller == device) {
            releaseControl();
        }
    }

    void stop() {
        injector_.retainDevices({});
        releaseControl();
    }

  private:
    void releaseControl() {
        injector_.reset();
        ownership_.controller.reset();
    }

    Injector::InputInjector& injector_;
    const Injector::HIDEventPoster& poster_;
    CompanionNetwork::InputOwnership ownership_;
};

std::string describe(const CompanionListener::State& state) {
    if (auto ready = state.as<CompanionNetwork::ListenerState::Ready>()) {
        std::string text = "ready as \"" + ready->details.serviceName + "\" on TCP " +
                           std::to_string(ready->details.tcpPort) + " and UDP " +
                           std::to_string(ready->details.udpPort);
        if (ready->details.advertisementProblem) {
            text += ", not advertised: " + *ready->details.advertisementProblem;
        }
        return text;
    }
    if (auto waiting = state.as<CompanionNetwork::ListenerState::Waiting>()) {
        return "waiting: " + waiting->reason;
    }
    if (auto failed = state.as<CompanionNetwork::ListenerState::Failed>()) {
        return "failed: " + failed->reason;
    }
    if (state.is<CompanionNetwork::ListenerState::Setup>()) {
        return "starting";
    }
    return "stopped";
}

// SIGINT and SIGTERM are blocked in every thread and arrive through `signalFD`.
int run(int signalFD) {
    platform::EventLoop loop;

    auto store = std::make_shared<CompanionNetwork::FileTrustedDeviceStore>(
        CompanionNetwork::FileTrustedDeviceStore::defaultURL());
    std::shared_ptr<CompanionNetwork::PairingCoordinator> coordinator;
    try {
        // This process serves pointer and key input only: it offers none of the optional features, and
        // the listener answers their requests as an absent service would.
        CompanionNetwork::PairingCoordinator::Configuration configuration;
        configuration.features = TrackpadProtocol::HostFeatures{};
        coordinator = std::make_shared<CompanionNetwork::PairingCoordinator>(
            store, CompanionNetwork::HostName::current(), configuration,
            [] { return std::chrono::system_clock::now(); });
    } catch (const std::exception& error) {
        logger.error(std::string("Lumivex paired iPhones list unusable: ") + error.what());
        return 1;
    }

    Injector::HIDEventPoster poster;
    Injector::SystemScreenGeometry geometry;
    Injector::InputInjector injector(poster, geometry, loop, Injector::InputInjector::Configuration{},
                                     [&loop] { return loop.now(); });
    const bool controllable = poster.isAvailable();
    if (!controllable) {
        logger.error("The X display cannot be reached or offers no XTEST; input is dropped");
    }
    coordinator->updateControlStatus(controllable ? TrackpadProtocol::ControlStatus::ready
                                                  : TrackpadProtocol::ControlStatus::accessibilityRequired);
    InputRouter router(injector, poster);

    coordinator->setEventHandler([&router](const PairingEvent& event) {
        if (auto changed = event.as<PairingEvent::PendingPairingChanged>(); changed && changed->pairing) {
            // The line holds the code: built in storage that is wiped when it goes.
            const std::string_view digits = changed->pairing->code.digits();
            TrackpadProtocol::SecretString line = "Pairing code for ";
            line += CompanionNetwork::quotedForLog(changed->pairing->deviceName);
            line += ": ";
            line += digits.substr(0, 3);
            line += ' ';
            line += digits.substr(3);
            logger.notice(line);
        } else if (auto connected = event.as<PairingEvent::ConnectedDevicesChanged>()) {
            router.devicesChanged(connected->devices);
        } else if (auto revoked = event.as<PairingEvent::SessionsRevoked>()) {
            router.sessionsRevoked(revoked->deviceID);
        }
    });

    CompanionListener listener(
        coordinator, CompanionListener::Configuration{}, loop,
        [&router](const Message& message, const UUID& device) { router.message(message, device); },
        [&router](const Message& message, const UUID& device) { router.cleanup(message, device); },
        [](const CompanionListener::State& state) { logger.notice("Listener " + describe(state)); }, {}, {},
        {}, {}, {});

    // A signal stops the listener (its phones are let go and its last state reported) and then the loop.
    const auto signalWatch = loop.watch(signalFD, platform::EventLoop::readable, [&](std::uint32_t) {
        signalfd_siginfo info;
        while (read(signalFD, &info, sizeof info) == sizeof info) {
        }
        listener.stop();
        loop.post([&loop] { loop.stop(); });
    });

    listener.start();
    // The loop's boundary: whatever a task throws is logged and the loop goes on, so that one fault
    // cannot end the companion for every phone.
    for (;;) {
        try {
            loop.run();
            break;
        } catch (const std::exception& error) {
            logger.error(std::string("a task of the main loop failed: ") + error.what());
        } catch (...) {
            logger.error("a task of the main loop failed");
        }
    }
    router.stop();
    // Whatever the stop let go is carried out by the X server before the process goes.
    poster.sync();
    // What the stop left posted (connections being released) goes while everything is still there.
    loop.runOnce();
    loop.removeWatch(signalWatch);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--log-to-stderr") == 0) {
            platform::setLogSink(&platform::standardErrorSink, nullptr);
        } else {
            std::fprintf(stderr, "usage: lumivex-companion [--log-to-stderr]\n");
            return 2;
        }
    }
    // Blocked before any thread exists, so that every thread inherits the mask and only the loop sees
    // these signals.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (const int error = pthread_sigmask(SIG_BLOCK, &signals, nullptr); error != 0) {
        std::fprintf(stderr, "lumivex-companion: pthread_sigmask: %s\n", std::strerror(error));
        return 1;
    }
    const int signalFD = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFD < 0) {
        std::fprintf(stderr, "lumivex-companion: signalfd: %s\n", std::strerror(errno));
        return 1;
    }
    int status = 1;
    try {
        status = run(signalFD);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "lumivex-companion: %s\n", error.what());
    }
    close(signalFD);
    return status;
}
