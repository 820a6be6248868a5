#pragma once
// The watch as a remote: buttons that send media keys and system actions, with a confirmation step for
// sleep, and the crown turned into whole volume steps.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/watch/WatchPayload.h"

namespace TrackpadProtocol {

enum class WatchRemoteButton {
    playPause,
    next,
    previous,
    volumeUp,
    volumeDown,
    mute,
    lock,
    sleep,
    spotlight
};

inline constexpr std::array<WatchRemoteButton, 9> allWatchRemoteButtons = {
    WatchRemoteButton::playPause, WatchRemoteButton::next,       WatchRemoteButton::previous,
    WatchRemoteButton::volumeUp,  WatchRemoteButton::volumeDown, WatchRemoteButton::mute,
    WatchRemoteButton::lock,      WatchRemoteButton::sleep,      WatchRemoteButton::spotlight};

// "playPause", "next", ... exactly as the case names.
std::string_view rawValue(WatchRemoteButton button);
std::optional<WatchRemoteButton> watchRemoteButtonFromRaw(std::string_view raw);
// The message the button sends.
Message message(WatchRemoteButton button);
// Only sleep asks the user first.
bool needsConfirmation(WatchRemoteButton button);

struct WatchRemoteActions {
    struct Outcome {
        struct Send {
            Message message;
            bool operator==(const Send&) const = default;
        };
        struct NeedsConfirmation {
            WatchRemoteButton button = WatchRemoteButton::sleep;
            bool operator==(const NeedsConfirmation&) const = default;
        };
        struct Unavailable {
            bool operator==(const Unavailable&) const = default;
        };
        std::variant<Send, NeedsConfirmation, Unavailable> value;
        bool operator==(const Outcome&) const = default;
    };

    std::optional<WatchRemoteButton> pendingConfirmation;

    // The phone app is active and the computer is connected or the demo.
    static bool isAvailable(const WatchStatus& status) { return status.acceptsInput(); }
    // Always drops an earlier unconfirmed press.
    Outcome press(WatchRemoteButton button, const WatchStatus& status);
    // The pending button's message when the status still allows it; the confirmation is spent either way.
    std::optional<Message> confirm(const WatchStatus& status);
    void cancel() { pendingConfirmation.reset(); }
};

struct WatchCrownVolume {
    struct Configuration {
        double unitsPerStep = 1.0;           // crown units per volume step
        std::int64_t maxStepsPerUpdate = 2;  // most steps sent for one crown update
        // A step size that is not finite and above 0 becomes 1.0; the step count is at least 1.
        Configuration(double unitsPerStep, std::int64_t maxStepsPerUpdate);
        static const Configuration standard;
        bool operator==(const Configuration&) const = default;
    };

    Configuration configuration;
    std::optional<double> lastValue;
    double pending = 0;  // signed crown units turned but not yet sent as steps

    explicit WatchCrownVolume(Configuration configuration = Configuration::standard)
        : configuration(configuration) {}
    // Takes the crown's absolute value; the first one only sets the reference.
    std::vector<MediaCommand> update(double value);
    void reset();

  private:
    std::vector<MediaCommand> steps(double delta);
};

inline WatchCrownVolume::Configuration::Configuration(double units, std::int64_t maxSteps)
    : unitsPerStep(std::isfinite(units) && units > 0 ? units : 1.0),
      maxStepsPerUpdate(maxSteps < 1 ? 1 : maxSteps) {}
inline const WatchCrownVolume::Configuration WatchCrownVolume::Configuration::standard{1.0, 2};

}  // namespace TrackpadProtocol
