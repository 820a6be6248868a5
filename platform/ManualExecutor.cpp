#include "platform/ManualExecutor.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>

namespace platform {

namespace {

std::int64_t toMicros(double seconds) {
    return std::max<std::int64_t>(std::llround(seconds * 1e6), 0);
}

}  // namespace

ManualExecutor::ManualExecutor(double start) : nowMicros_(std::llround(start * 1e6)) {}

void ManualExecutor::post(Task task) {
    posted_.push_back(std::move(task));
}

Executor::TimerID ManualExecutor::schedule(std::chrono::microseconds delay, Task task,
                                           std::chrono::microseconds /*leeway*/) {
    const std::int64_t deadline = nowMicros_ + std::max<std::int64_t>(delay.count(), 0);
    const TimerID id = next_++;
    timers_.emplace(TimerKey{deadline, id}, std::move(task));
    deadlines_.emplace(id, deadline);
    return id;
}

void ManualExecutor::cancel(TimerID id) {
    const auto found = deadlines_.find(id);
    if (found == deadlines_.end())
        return;
    timers_.erase(TimerKey{found->second, id});
    deadlines_.erase(found);
}

void ManualExecutor::drain() {
    while (!posted_.empty()) {
        std::vector<Task> batch;
        batch.swap(posted_);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            try {
                batch[i]();
            } catch (...) {
                // A throwing task must not take the tasks queued behind it along.
                posted_.insert(posted_.begin(),
                               std::make_move_iterator(batch.begin() + static_cast<std::ptrdiff_t>(i) + 1),
                               std::make_move_iterator(batch.end()));
                throw;
            }
        }
    }
}

void ManualExecutor::runFirstTimer() {
    const auto first = timers_.begin();
    nowMicros_ = std::max(nowMicros_, first->first.first);
    Task task = std::move(first->second);
    deadlines_.erase(first->first.second);
    timers_.erase(first);
    task();
    drain();
}

void ManualExecutor::advance(double seconds) {
    advance(std::chrono::microseconds{toMicros(seconds)});
}

void ManualExecutor::advance(std::chrono::microseconds duration) {
    const std::int64_t target = nowMicros_ + std::max<std::int64_t>(duration.count(), 0);
    drain();
    while (!timers_.empty() && timers_.begin()->first.first <= target)
        runFirstTimer();
    nowMicros_ = target;
    drain();
}

bool ManualExecutor::runNextTimer() {
    drain();
    if (timers_.empty())
        return false;
    runFirstTimer();
    return true;
}

}  // namespace platform
