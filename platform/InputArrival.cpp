#include "platform/InputArrival.h"

namespace platform {

namespace {

thread_local std::optional<double> currentArrival;

double seconds(const timespec& ts) {
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

std::optional<double> inputArrivalTime() {
    return currentArrival;
}

InputArrivalScope::InputArrivalScope(std::optional<double> arrival) : previous_(currentArrival) {
    currentArrival = arrival;
}

InputArrivalScope::~InputArrivalScope() {
    currentArrival = previous_;
}

std::optional<double> monotonicFromRealtimeStamp(const timespec& stamp) {
    timespec wall{};
    timespec monotonic{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
    const double age = seconds(wall) - seconds(stamp);
    if (!(age >= 0 && age <= 1.0)) {
        return std::nullopt;
    }
    return seconds(monotonic) - age;
}

}  // namespace platform
