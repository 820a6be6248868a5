#pragma once
// When the input being handled on this thread reached the machine. A receive path that knows (a
// datagram socket stamps each datagram in the kernel) opens a scope around the handling of what it
// read; code that paces input by the time it arrived reads the stamp, and falls back to its own clock
// where there is none. The time a datagram waited for the process to wake, be decrypted and be routed
// is then part of its pacing frame instead of being added after it.
//
// Seconds of CLOCK_MONOTONIC, like platform::monotonicSeconds().
#include <ctime>
#include <optional>

namespace platform {

// The arrival of the input now being handled on this thread; none outside a scope.
std::optional<double> inputArrivalTime();

// Sets the arrival time for the lifetime of the scope and restores the one before it after.
class InputArrivalScope {
  public:
    explicit InputArrivalScope(std::optional<double> arrival);
    ~InputArrivalScope();
    InputArrivalScope(const InputArrivalScope&) = delete;
    InputArrivalScope& operator=(const InputArrivalScope&) = delete;

  private:
    std::optional<double> previous_;
};

// A kernel receive stamp (CLOCK_REALTIME) as monotonic seconds, from its age now. None when the age is
// negative or over a second: the wall clock was stepped in between, and the stamp says nothing.
std::optional<double> monotonicFromRealtimeStamp(const timespec& stamp);

}  // namespace platform
