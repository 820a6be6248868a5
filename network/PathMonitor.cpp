#include "network/PathMonitor.h"

#include <utility>

namespace CompanionNetwork {

ManualPathMonitor::ManualPathMonitor(platform::Executor& executor, PathStatus initial)
    : executor_(executor), status_(std::move(initial)) {}

void ManualPathMonitor::start(UpdateHandler handler) {
    ++*generation_;
    ++startCount_;
    handler_ = std::move(handler);
    post(status_);
}

void ManualPathMonitor::cancel() {
    ++*generation_;
    handler_ = nullptr;
}

void ManualPathMonitor::setStatus(PathStatus status) {
    if (status == status_)
        return;
    status_ = std::move(status);
    if (handler_)
        post(status_);
}

void ManualPathMonitor::post(PathStatus status) {
    std::weak_ptr<std::uint64_t> generation = generation_;
    executor_.post([this, generation, expected = *generation_, status = std::move(status)] {
        const auto alive = generation.lock();
        if (alive && *alive == expected && handler_)
            handler_(status);
    });
}

}  // namespace CompanionNetwork
