#include "app/QtMainLoop.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <exception>
#include <string>

#include "platform/Log.h"

namespace Shell {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "companion");

// The loop's boundary: an exception escaping a task must not unwind through Qt's event loop and end the
// companion for every phone; it is logged and the loop goes on with its other work.
void runGuarded(platform::EventLoop& loop) {
    try {
        loop.runOnce();
    } catch (const std::exception& error) {
        logger.error(std::string("a task of the main loop failed: ") + error.what());
    } catch (...) {
        logger.error("a task of the main loop failed");
    }
}

}  // namespace

QtMainLoop::QtMainLoop(platform::EventLoop& loop)
    : loop_(loop), notifier_(std::make_unique<QSocketNotifier>(loop.fd(), QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { runGuarded(loop_); });
    // Work posted before Qt's loop runs is picked up by the first pass.
    runGuarded(loop_);
}

QtMainLoop::~QtMainLoop() = default;

QtSignalWatch::QtSignalWatch(int signalFD, std::function<void()> onSignal)
    : signalFD_(signalFD), notifier_(std::make_unique<QSocketNotifier>(signalFD, QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, onSignal = std::move(onSignal)] {
        signalfd_siginfo info;
        while (read(signalFD_, &info, sizeof info) == sizeof info) {
        }
        onSignal();
    });
}

QtSignalWatch::~QtSignalWatch() = default;

}  // namespace Shell
