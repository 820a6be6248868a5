#include "injector/PointerShakeDetector.h"

#include <algorithm>
#include <cmath>

namespace Injector {
namespace {

double sanitized(double value, double minimum, double fallback) {
    if (!std::isfinite(value)) {
        return fallback;
    }
    return std::max(value, minimum);
}

}  // namespace

PointerShakeDetector::Configuration::Configuration(int minimumStrokes, double minimumStrokeLength,
                                                   double window, double maximumPause,
                                                   double reversalTolerance, double horizontalDominance)
    : minimumStrokes(std::max(minimumStrokes, 2)),
      minimumStrokeLength(sanitized(minimumStrokeLength, 1, 80)),
      window(sanitized(window, 0, 1.0)),
      maximumPause(sanitized(maximumPause, 0, 0.25)),
      reversalTolerance(sanitized(reversalTolerance, 0, 12)),
      horizontalDominance(sanitized(horizontalDominance, 0, 2.0)) {}

bool PointerShakeDetector::counts(const Stroke& stroke) const {
    return configuration_.minimumStrokeLength <= stroke.horizontal &&
           stroke.vertical * configuration_.horizontalDominance <= stroke.horizontal;
}

void PointerShakeDetector::forgetStrokes() {
    stroke_.reset();
    opposite_ = {};
    strokeStarts_.clear();
}

bool PointerShakeDetector::observe(double dx, double dy, double now) {
    if (!std::isfinite(dx) || !std::isfinite(dy) || !std::isfinite(now)) {
        return false;
    }
    // A pause, or time running backwards, starts over.
    if (lastSample_ && (now < *lastSample_ || now - *lastSample_ > configuration_.maximumPause)) {
        forgetStrokes();
    }
    lastSample_ = now;
    if (dx == 0 && dy == 0) {
        return false;
    }
    if (!stroke_) {
        if (dx == 0) {
            return false;
        }
        stroke_ = Stroke{dx > 0 ? 1.0 : -1.0, std::abs(dx), std::abs(dy), now};
        return false;
    }
    const bool against = (stroke_->direction > 0 && dx < 0) || (stroke_->direction < 0 && dx > 0);
    if (against) {
        opposite_.horizontal += std::abs(dx);
        opposite_.vertical += std::abs(dy);
        // Backward jitter under the tolerance is only remembered, never added to a stroke.
        if (opposite_.horizontal < configuration_.reversalTolerance) {
            return false;
        }
        if (counts(*stroke_)) {
            strokeStarts_.push_back(stroke_->start);
        } else {
            strokeStarts_.clear();
        }
        stroke_ = Stroke{-stroke_->direction, opposite_.horizontal, opposite_.vertical, now};
        opposite_ = {};
    } else {
        stroke_->horizontal += std::abs(dx);
        stroke_->vertical += std::abs(dy);
        opposite_ = {};
    }
    std::erase_if(strokeStarts_, [&](double start) { return now - start > configuration_.window; });
    if (!counts(*stroke_) ||
        static_cast<long>(strokeStarts_.size()) + 1 < static_cast<long>(configuration_.minimumStrokes)) {
        return false;
    }
    forgetStrokes();
    lastSample_.reset();
    return true;
}

void PointerShakeDetector::reset() {
    forgetStrokes();
    lastSample_.reset();
}

}  // namespace Injector
