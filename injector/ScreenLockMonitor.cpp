#include "injector/ScreenLockMonitor.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace Injector {
namespace {

std::chrono::microseconds after(double seconds) {
    const double clamped = std::isfinite(seconds) ? std::max(seconds, 0.0) : 0.0;
    return std::chrono::microseconds(static_cast<std::int64_t>(clamped * 1e6));
}

}  // namespace

ScreenLockMonitor::ScreenLockMonitor(platform::Executor& executor, Probe isLocked, Subscribe subscribe,
                                     std::optional<double> pollInterval, std::vector<double> recheckDelays)
    : executor_(executor),
      isLocked_(std::move(isLocked)),
      subscribe_(std::move(subscribe)),
      pollInterval_(pollInterval),
      recheckDelays_(std::move(recheckDelays)),
      self_(std::make_shared<ScreenLockMonitor*>(this)) {
    std::sort(recheckDelays_.begin(), recheckDelays_.end());
}

ScreenLockMonitor::~ScreenLockMonitor() {
    stop();
}

bool ScreenLockMonitor::start(ChangeHandler onChange) {
    onChange_ = std::move(onChange);
    const bool locked = isLocked_();
    status_ = locked;
    if (unsubscribe_) {
        return locked;
    }
    std::weak_ptr<ScreenLockMonitor*> weak = self_;
    unsubscribe_ = subscribe_ ? subscribe_([weak] {
        if (auto self = weak.lock()) {
            (*self)->notificationReceived();
        }
    })
                              : Unsubscribe([] {});
    if (!unsubscribe_) {
        unsubscribe_ = [] {};
    }
    schedulePoll();
    return locked;
}

void ScreenLockMonitor::stop() {
    if (unsubscribe_) {
        const Unsubscribe unsubscribe = std::move(unsubscribe_);
        unsubscribe_ = nullptr;
        unsubscribe();
    }
    if (pollTask_) {
        executor_.cancel(*pollTask_);
        pollTask_.reset();
    }
    if (recheckTask_) {
        executor_.cancel(*recheckTask_);
        recheckTask_.reset();
    }
    ++recheckGeneration_;
    onChange_ = nullptr;
}

void ScreenLockMonitor::refresh() {
    if (!onChange_) {
        return;
    }
    const bool locked = isLocked_();
    if (status_ != locked) {
        status_ = locked;
        // A copy: the handler may stop or restart the monitor.
        const ChangeHandler handler = onChange_;
        handler(locked);
    }
}

void ScreenLockMonitor::schedulePoll() {
    if (!pollInterval_) {
        return;
    }
    std::weak_ptr<ScreenLockMonitor*> weak = self_;
    pollTask_ = executor_.schedule(after(*pollInterval_), [weak] {
        if (auto self = weak.lock()) {
            ScreenLockMonitor& monitor = **self;
            monitor.pollTask_.reset();
            monitor.refresh();
            // The next poll counts from the end of this check, unless the check stopped the monitor.
            if (monitor.unsubscribe_ && !monitor.pollTask_) {
                monitor.schedulePoll();
            }
        }
    });
}

void ScreenLockMonitor::notificationReceived() {
    refresh();
    if (recheckTask_) {
        executor_.cancel(*recheckTask_);
        recheckTask_.reset();
    }
    ++recheckGeneration_;
    if (!recheckDelays_.empty() && unsubscribe_) {
        scheduleRecheck(0, 0, recheckGeneration_);
    }
}

void ScreenLockMonitor::scheduleRecheck(std::size_t index, double previousDelay, std::uint64_t generation) {
    const double delay = recheckDelays_[index];
    std::weak_ptr<ScreenLockMonitor*> weak = self_;
    recheckTask_ = executor_.schedule(after(delay - previousDelay), [weak, index, delay, generation] {
        auto self = weak.lock();
        if (!self || (*self)->recheckGeneration_ != generation) {
            return;
        }
        ScreenLockMonitor& monitor = **self;
        monitor.recheckTask_.reset();
        monitor.refresh();
        if (index + 1 < monitor.recheckDelays_.size() && monitor.recheckGeneration_ == generation) {
            monitor.scheduleRecheck(index + 1, delay, generation);
        }
    });
}

}  // namespace Injector
