#include "network/InMemoryServiceAdvertiser.h"

#include <utility>

namespace CompanionNetwork {

InMemoryServiceAdvertiser::InMemoryServiceAdvertiser(platform::Executor& executor) : executor_(executor) {}

// Reports still queued on the executor find the generation gone and call nothing.
InMemoryServiceAdvertiser::~InMemoryServiceAdvertiser() = default;

void InMemoryServiceAdvertiser::setStateHandler(StateHandler handler) {
    handler_ = std::move(handler);
}

void InMemoryServiceAdvertiser::advertise(ServiceAdvertisement advertisement) {
    ++*generation_;
    history_.push_back(advertisement);
    advertisement.instanceName = advertisedInstanceName(advertisement.instanceName);
    current_ = std::move(advertisement);
    if (unavailableReason_)
        post(Unavailable{*unavailableReason_});
    else
        post(Advertising{current_->instanceName});
}

void InMemoryServiceAdvertiser::withdraw() {
    if (!current_)
        return;
    ++*generation_;
    ++withdrawCount_;
    current_.reset();
}

void InMemoryServiceAdvertiser::report(State state) {
    if (!current_)
        return;
    if (const auto* advertising = std::get_if<Advertising>(&state))
        current_->instanceName = advertising->instanceName;
    post(std::move(state));
}

void InMemoryServiceAdvertiser::post(State state) {
    std::weak_ptr<std::uint64_t> generation = generation_;
    executor_.post([this, generation, expected = *generation_, state = std::move(state)] {
        const auto alive = generation.lock();
        if (!alive || *alive != expected || !handler_)
            return;
        handler_(state);
    });
}

AbsentServiceAdvertiser::AbsentServiceAdvertiser(platform::Executor& executor, std::string reason)
    : inner_(executor) {
    inner_.setUnavailable(std::move(reason));
}

AbsentServiceAdvertiser::~AbsentServiceAdvertiser() = default;

void AbsentServiceAdvertiser::setStateHandler(StateHandler handler) {
    inner_.setStateHandler(std::move(handler));
}

void AbsentServiceAdvertiser::advertise(ServiceAdvertisement advertisement) {
    inner_.advertise(std::move(advertisement));
}

void AbsentServiceAdvertiser::withdraw() {
    inner_.withdraw();
}

}  // namespace CompanionNetwork
