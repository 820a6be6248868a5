#include "platform/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <ctime>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace platform {

namespace {

// epoll data for the loop's own descriptors; watch ids count up from 1 and never reach these.
constexpr std::uint64_t wakeTag = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t timerTag = wakeTag - 1;
constexpr double never = std::numeric_limits<double>::infinity();

[[noreturn]] void throwErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::uint32_t epollMask(std::uint32_t events) {
    std::uint32_t mask = 0;
    if (events & EventLoop::readable)
        mask |= EPOLLIN | EPOLLRDHUP;
    if (events & EventLoop::writable)
        mask |= EPOLLOUT;
    return mask;
}

std::uint32_t firedEvents(std::uint32_t epollEvents) {
    std::uint32_t fired = 0;
    if (epollEvents & (EPOLLIN | EPOLLRDHUP | EPOLLPRI))
        fired |= EventLoop::readable;
    if (epollEvents & EPOLLOUT)
        fired |= EventLoop::writable;
    if (epollEvents & (EPOLLERR | EPOLLHUP))
        fired |= EventLoop::readable | EventLoop::writable;
    return fired;
}

double seconds(std::chrono::microseconds duration) {
    return static_cast<double>(std::max<std::int64_t>(duration.count(), 0)) / 1e6;
}

// Drains a counter descriptor (eventfd or timerfd); both are non-blocking.
void drainCounter(int fd) {
    std::uint64_t count;
    while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

}  // namespace

double monotonicSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

EventLoop::EventLoop() : thread_(std::this_thread::get_id()), armedAt_(never) {
    epollFD_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFD_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    timerFD_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    auto add = [this](int fd, std::uint64_t tag) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = tag;
        return ::epoll_ctl(epollFD_, EPOLL_CTL_ADD, fd, &event) == 0;
    };
    if (epollFD_ < 0 || wakeFD_ < 0 || timerFD_ < 0 || !add(wakeFD_, wakeTag) || !add(timerFD_, timerTag)) {
        const int error = errno;
        for (int fd : {epollFD_, wakeFD_, timerFD_})
            if (fd >= 0)
                ::close(fd);
        throw std::system_error(error, std::generic_category(), "EventLoop: cannot create its descriptors");
    }
}

EventLoop::~EventLoop() {
    ::close(timerFD_);
    ::close(wakeFD_);
    ::close(epollFD_);
}

void EventLoop::post(Task task) {
    bool wasEmpty;
    {
        std::lock_guard lock(mutex_);
        wasEmpty = posted_.empty();
        posted_.push_back(std::move(task));
    }
    // One wake-up per batch: the loop takes the whole batch at once, and a post into an empty batch
    // always signals again.
    if (wasEmpty) {
        const std::uint64_t one = 1;
        while (::write(wakeFD_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
}

Executor::TimerID EventLoop::schedule(std::chrono::microseconds delay, Task task,
                                      std::chrono::microseconds leeway) {
    const double deadline = monotonicSeconds() + seconds(delay);
    const double latest = deadline + seconds(leeway);
    std::lock_guard lock(mutex_);
    const TimerID id = nextTimer_++;
    timers_.emplace(TimerKey{deadline, id}, Timer{std::move(task), latest});
    deadlines_.emplace(id, deadline);
    // Only ever earlier from here: a wake-up that comes too early for the new plan merely runs what is
    // due and arms again before the loop waits.
    if (const double at = wakeTime(); at < armedAt_)
        armTimerFD(at);
    return id;
}

void EventLoop::cancel(TimerID id) {
    Task doomed;  // destroyed after the lock is released: its captures may do anything
    std::lock_guard lock(mutex_);
    const auto found = deadlines_.find(id);
    if (found == deadlines_.end())
        return;
    const auto timer = timers_.find(TimerKey{found->second, id});
    doomed = std::move(timer->second.task);
    timers_.erase(timer);
    deadlines_.erase(found);
    // The timerfd is re-armed before the next wait; a wake-up already due just finds nothing to run.
}

double EventLoop::now() const {
    return monotonicSeconds();
}

bool EventLoop::isCurrent() const {
    return thread_.load() == std::this_thread::get_id();
}

double EventLoop::wakeTime() const {
    // The first timer's deadline, moved later only when that saves a wake-up: to a later timer's
    // deadline that still lies within the leeway of every timer before it, so that one pass runs them
    // all. A leeway permits lateness; it never asks for it.
    auto it = timers_.begin();
    if (it == timers_.end())
        return never;
    double at = it->first.first;
    double latestAllowed = it->second.latest;
    for (++it; it != timers_.end() && it->first.first <= latestAllowed; ++it) {
        at = it->first.first;
        latestAllowed = std::min(latestAllowed, it->second.latest);
    }
    return at;
}

void EventLoop::armTimerFD(double at) {
    itimerspec spec{};
    if (at != never) {
        const double whole = std::floor(at);
        spec.it_value.tv_sec = static_cast<time_t>(whole);
        spec.it_value.tv_nsec = static_cast<long>((at - whole) * 1e9);
        // An all-zero value would disarm the timer instead of firing at once.
        if (spec.it_value.tv_sec == 0 && spec.it_value.tv_nsec == 0)
            spec.it_value.tv_nsec = 1;
    }
    if (::timerfd_settime(timerFD_, TFD_TIMER_ABSTIME, &spec, nullptr) != 0)
        throwErrno("EventLoop: timerfd_settime");
    armedAt_ = at;
}

EventLoop::WatchID EventLoop::watch(int fd, std::uint32_t events, WatchHandler handler) {
    if (watchByFD_.contains(fd))
        throw std::invalid_argument("EventLoop::watch: descriptor already watched");
    const WatchID id = nextWatch_++;
    if (events != 0)
        applyWatch(EPOLL_CTL_ADD, fd, events, id);
    watches_.emplace(id, Watch{fd, events, std::make_shared<WatchHandler>(std::move(handler))});
    watchByFD_.emplace(fd, id);
    return id;
}

void EventLoop::updateWatch(WatchID id, std::uint32_t events) {
    const auto found = watches_.find(id);
    if (found == watches_.end())
        return;
    Watch& watch = found->second;
    if (events == watch.events)
        return;
    if (watch.events == 0)
        applyWatch(EPOLL_CTL_ADD, watch.fd, events, id);
    else if (events == 0)
        applyWatch(EPOLL_CTL_DEL, watch.fd, 0, id);
    else
        applyWatch(EPOLL_CTL_MOD, watch.fd, events, id);
    watch.events = events;
}

void EventLoop::removeWatch(WatchID id) {
    const auto found = watches_.find(id);
    if (found == watches_.end())
        return;
    // A descriptor closed before its watch was removed has already left epoll; nothing to undo then.
    if (found->second.events != 0)
        ::epoll_ctl(epollFD_, EPOLL_CTL_DEL, found->second.fd, nullptr);
    watchByFD_.erase(found->second.fd);
    watches_.erase(found);
}

void EventLoop::applyWatch(int op, int fd, std::uint32_t events, WatchID id) {
    epoll_event event{};
    event.events = epollMask(events);
    event.data.u64 = id;
    if (::epoll_ctl(epollFD_, op, fd, &event) != 0)
        throwErrno("EventLoop: epoll_ctl");
}

bool EventLoop::consumeStop() {
    return stopped_.exchange(false);
}

void EventLoop::run() {
    thread_ = std::this_thread::get_id();
    while (!consumeStop())
        iterate(-1);
}

void EventLoop::runFor(double duration) {
    thread_ = std::this_thread::get_id();
    const double end = monotonicSeconds() + std::max(duration, 0.0);
    for (;;) {
        if (consumeStop())
            return;
        const double remaining = end - monotonicSeconds();
        // Rounded up, so the last pass does not return a little early and spin on a zero timeout.
        iterate(remaining > 0 ? static_cast<int>(std::min(std::ceil(remaining * 1000), 1e9)) : 0);
        if (monotonicSeconds() >= end) {
            consumeStop();
            return;
        }
    }
}

void EventLoop::runOnce() {
    thread_ = std::this_thread::get_id();
    // Driven from outside (a toolkit's loop waiting on fd()), nothing waits here again: the timerfd must
    // be armed for what is left before returning, or a timer that was not yet due when this pass ran its
    // predecessor would never wake the loop. Also when a task throws.
    struct Rearm {
        EventLoop& loop;
        ~Rearm() {
            std::lock_guard lock(loop.mutex_);
            if (const double next = loop.wakeTime(); next != loop.armedAt_)
                loop.armTimerFD(next);
        }
    } rearm{*this};
    iterate(0);
}

void EventLoop::stop() {
    stopped_ = true;
    const std::uint64_t one = 1;
    while (::write(wakeFD_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void EventLoop::iterate(int timeoutMs) {
    {
        // Re-armed before every wait rather than after the timers ran, so a task that threw out of the
        // last pass cannot leave pending timers without a wake-up.
        std::lock_guard lock(mutex_);
        if (const double next = wakeTime(); next != armedAt_)
            armTimerFD(next);
    }
    epoll_event events[64];
    const int count = ::epoll_wait(epollFD_, events, 64, timeoutMs);
    if (count < 0 && errno != EINTR)
        throwErrno("EventLoop: epoll_wait");

    std::vector<std::pair<WatchID, std::uint32_t>> ready;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t tag = events[i].data.u64;
        if (tag == wakeTag) {
            drainCounter(wakeFD_);
        } else if (tag == timerTag) {
            drainCounter(timerFD_);
            std::lock_guard lock(mutex_);
            armedAt_ = never;  // a fired timerfd is disarmed
        } else {
            ready.emplace_back(tag, firedEvents(events[i].events));
        }
    }

    runDueTimers();
    for (const auto& [id, fired] : ready) {
        // Earlier handlers may have removed or changed this watch.
        const auto found = watches_.find(id);
        if (found == watches_.end())
            continue;
        const std::uint32_t wanted = fired & found->second.events;
        if (wanted == 0)
            continue;
        const auto handler = found->second.handler;  // survives removal of the watch by its own handler
        (*handler)(wanted);
    }
    runPosted();
}

void EventLoop::runDueTimers() {
    // Timers that fall due while these run (including ones they schedule) wait for the next pass, so a
    // timer that re-schedules itself with no delay cannot starve the rest of the loop.
    const double tick = monotonicSeconds();
    for (;;) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            const auto first = timers_.begin();
            if (first == timers_.end() || first->first.first > tick)
                return;
            // Taken out before it runs, so a cancel() from an earlier task of this pass finds nothing
            // and a timer cancelled that way never runs.
            task = std::move(first->second.task);
            deadlines_.erase(first->first.second);
            timers_.erase(first);
        }
        task();
    }
}

void EventLoop::runPosted() {
    std::vector<Task> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(posted_);
    }
    // Tasks posted by this batch form the next one, which runs after the next poll.
    for (std::size_t i = 0; i < batch.size(); ++i) {
        try {
            batch[i]();
        } catch (...) {
            // Keep the rest of the batch, in order, ahead of anything posted since.
            std::lock_guard lock(mutex_);
            posted_.insert(posted_.begin(),
                           std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(i) + 1),
                           std::make_move_iterator(batch.end()));
            if (!posted_.empty()) {
                const std::uint64_t one = 1;
                while (::write(wakeFD_, &one, sizeof one) < 0 && errno == EINTR) {
                }
            }
            throw;
        }
    }
}

}  // namespace platform
