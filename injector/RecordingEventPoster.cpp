#include "injector/RecordingEventPoster.h"

#include <utility>

namespace Injector {

void RecordingEventPoster::post(const InputEvent& event) {
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    if (onPost) {
        onPost(event);
    }
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
