#include "injector/RecordingEventPoster.h"

#include <utility>

namespace Injector {

void RecordingEventPoster::post(const InputEvent& event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        outsideExclusive_ += exclusive_ ? 0 : 1;
    }
    if (onPost) {
        onPost(event);
    }
}

void RecordingEventPoster::beginExclusive() {
    std::lock_guard lock(mutex_);
    exclusive_ = true;
}

void RecordingEventPoster::endExclusive() {
    std::lock_guard lock(mutex_);
    exclusive_ = false;
}

bool RecordingEventPoster::isExclusive() const {
    std::lock_guard lock(mutex_);
    return exclusive_;
}

std::size_t RecordingEventPoster::postedOutsideExclusive() const {
    std::lock_guard lock(mutex_);
    return outsideExclusive_;
}

std::vector<InputEvent> RecordingEventPoster::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

std::size_t RecordingEventPoster::count() const {
    std::lock_guard lock(mutex_);
    return events_.size();
}

std::vector<InputEvent> RecordingEventPoster::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

void RecordingEventPoster::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

}  // namespace Injector
