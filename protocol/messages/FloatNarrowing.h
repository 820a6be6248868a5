#pragma once
// Double to 32-bit float with IEEE overflow semantics: values beyond the float range become ±infinity
// instead of the undefined behaviour of a plain conversion.
#include <cmath>
#include <limits>

namespace TrackpadProtocol {

inline float narrowToFloat(double value) {
    constexpr double largest = std::numeric_limits<float>::max();
    if (std::isnan(value))
        return std::numeric_limits<float>::quiet_NaN();
    if (value > largest || value < -largest) {
        // Values that still round to the largest float keep it, as the IEEE conversion does.
        const double halfUlp = std::ldexp(1.0, std::numeric_limits<float>::max_exponent - 25);
        if (std::fabs(value) < largest + halfUlp)
            return value > 0 ? std::numeric_limits<float>::max() : std::numeric_limits<float>::lowest();
        return value > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

}  // namespace TrackpadProtocol
