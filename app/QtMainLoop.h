#pragma once
// Runs the main EventLoop inside Qt's event loop on the same thread: the loop's epoll descriptor is
// readable whenever it has work (posted tasks, due timers, ready descriptors), and a socket notifier on it
// runs that work.
#include <memory>

#include "platform/EventLoop.h"

class QSocketNotifier;

namespace Shell {

class QtMainLoop {
  public:
    explicit QtMainLoop(platform::EventLoop& loop);
    ~QtMainLoop();
    QtMainLoop(const QtMainLoop&) = delete;
    QtMainLoop& operator=(const QtMainLoop&) = delete;

  private:
    platform::EventLoop& loop_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

// Delivers SIGINT, SIGTERM and SIGHUP (blocked in every thread beforehand) to `onSignal` on the Qt thread.
class QtSignalWatch {
  public:
    QtSignalWatch(int signalFD, std::function<void()> onSignal);
    ~QtSignalWatch();

  private:
    int signalFD_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace Shell
