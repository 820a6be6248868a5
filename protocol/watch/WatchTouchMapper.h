#pragma once
// One finger on the watch face and the crown in place of a trackpad: positions become pointer moves with
// speed-dependent acceleration, short touches become taps with multi-click counting, the crown scrolls.
// The swipe detector is the alternative mode in which a stroke becomes one three-finger swipe. Plain
// values: the caller passes times (seconds of one monotonic clock), calls the crown's idle check itself
// and sends the messages returned. Points are on the watch face, x to the right, y downwards.
#include <cstdint>
#include <optional>
#include <vector>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

struct WatchTouchMapper {
    struct Vector {
        double x = 0;
        double y = 0;
        bool operator==(const Vector&) const = default;
    };
    struct Acceleration {
        double slowGain = 2.0;
        double fastGain = 6.0;
        double slowSpeed = 40.0;   // points per second
        double fastSpeed = 500.0;  // points per second
        static const Acceleration standard;
        // A smooth step from slowGain at slowSpeed to fastGain at fastSpeed; a speed that is not finite
        // gets fastGain.
        double gain(double speed) const;
        bool operator==(const Acceleration&) const = default;
    };
    struct Configuration {
        double pointerSpeed = 1.0;
        Acceleration acceleration;
        double tapMaximumDuration = 0.3;  // seconds
        double tapMaximumTravel = 6.0;    // points from the touch's start
        double multiTapInterval = 0.35;   // seconds from a tap's lift to the next touch's start
        double crownScrollSpeed = 12.0;   // scroll amount per unit of crown rotation
        double crownIdleTimeout = 0.25;   // seconds
        static const Configuration standard;
        bool operator==(const Configuration&) const = default;
    };
    struct Touch {
        Vector start;
        double startTime = 0;
        Vector location;  // the last measured position
        double time = 0;  // when it was measured
        double travel = 0;
        double speed = 0;  // smoothed, points per second
        bool isHoldingBack = true;
        bool hasMoved = false;
    };
    struct TapChain {
        double lift = 0;
        std::uint8_t count = 0;
    };

    Configuration configuration;
    std::optional<Touch> touch;
    std::optional<TapChain> lastTap;
    std::optional<double> crownTurned;

    explicit WatchTouchMapper(Configuration configuration = Configuration::standard)
        : configuration(configuration) {}

    std::vector<Message> touchBegan(Vector point, double time);
    std::vector<Message> touchMoved(Vector point, double time);
    std::vector<Message> touchEnded(Vector point, double time);
    void cancelTouch();
    std::vector<Message> secondaryClick();
    std::vector<Message> crownRotated(double delta, double time);
    std::vector<Message> crownEnded();
    std::vector<Message> crownIdle(double time);
    std::vector<Message> reset();

    bool isTouching() const { return touch.has_value(); }
    bool isCrownScrolling() const { return crownTurned.has_value(); }

  private:
    std::optional<Vector> measure(Vector point, double time);
    std::optional<Message> pointerStep(Vector step, double speed) const;
};

inline const WatchTouchMapper::Acceleration WatchTouchMapper::Acceleration::standard{};
inline const WatchTouchMapper::Configuration WatchTouchMapper::Configuration::standard{};

struct WatchSwipeDetector {
    struct Configuration {
        double minimumDistance = 24;  // points
        static const Configuration standard;
        bool operator==(const Configuration&) const = default;
    };
    struct Touch {
        WatchTouchMapper::Vector start;
        bool hasSwiped = false;
    };

    Configuration configuration;
    std::optional<Touch> touch;

    explicit WatchSwipeDetector(Configuration configuration = Configuration::standard)
        : configuration(configuration) {}

    std::vector<Message> touchBegan(WatchTouchMapper::Vector point);
    std::vector<Message> touchMoved(WatchTouchMapper::Vector point);
    std::vector<Message> touchEnded(WatchTouchMapper::Vector point);
    std::vector<Message> cancel();
    bool isTracking() const { return touch.has_value(); }
    bool didSwipe() const { return touch && touch->hasSwiped; }

    // A tie counts as horizontal; a stroke shorter than the minimum has none.
    static std::optional<SwipeDirection> direction(WatchTouchMapper::Vector from, WatchTouchMapper::Vector to,
                                                   double minimumDistance);
};

inline const WatchSwipeDetector::Configuration WatchSwipeDetector::Configuration::standard{};

}  // namespace TrackpadProtocol
