#pragma once
// Configured durations in seconds, made safe to convert: a NaN, negative, infinite or huge value must not
// overflow an integer conversion (which would, say, close every connection at once).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

namespace CompanionNetwork {

// Longer than any time-out or window means anything: 30 days.
inline constexpr double maxConfiguredSeconds = 30.0 * 24 * 3600;

// NaN and values below 0 give 0; values above maxConfiguredSeconds (infinity too) give it.
inline double clampedSeconds(double seconds) {
    if (std::isnan(seconds)) {
        return 0;
    }
    return std::clamp(seconds, 0.0, maxConfiguredSeconds);
}

inline std::chrono::microseconds clampedMicroseconds(double seconds) {
    return std::chrono::microseconds(std::llround(clampedSeconds(seconds) * 1e6));
}

}  // namespace CompanionNetwork
