#include "app/QtMainLoop.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <QSocketNotifier>

namespace Shell {

QtMainLoop::QtMainLoop(platform::EventLoop& loop)
    : loop_(loop), notifier_(std::make_unique<QSocketNotifier>(loop.fd(), QSocketNotifier::Read)) {
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { loop_.runOnce(); });
    // Work posted before Qt's loop runs is picked up by the first pass.
    loop_.runOnce();
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
