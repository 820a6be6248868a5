#include "protocol/watch/WatchRemote.h"

#include <cmath>

namespace TrackpadProtocol {

std::string_view rawValue(WatchRemoteButton button) {
    switch (button) {
        case WatchRemoteButton::playPause:
            return "playPause";
        case WatchRemoteButton::next:
            return "next";
        case WatchRemoteButton::previous:
            return "previous";
        case WatchRemoteButton::volumeUp:
            return "volumeUp";
        case WatchRemoteButton::volumeDown:
            return "volumeDown";
        case WatchRemoteButton::mute:
            return "mute";
        case WatchRemoteButton::lock:
            return "lock";
        case WatchRemoteButton::sleep:
            return "sleep";
        case WatchRemoteButton::spotlight:
            return "spotlight";
    }
    return "";
}

std::optional<WatchRemoteButton> watchRemoteButtonFromRaw(std::string_view raw) {
    for (auto button : allWatchRemoteButtons)
        if (rawValue(button) == raw)
            return button;
    return std::nullopt;
}

Message message(WatchRemoteButton button) {
    switch (button) {
        case WatchRemoteButton::playPause:
            return Message::MediaCommand{MediaCommand::playPause};
        case WatchRemoteButton::next:
            return Message::MediaCommand{MediaCommand::next};
        case WatchRemoteButton::previous:
            return Message::MediaCommand{MediaCommand::previous};
        case WatchRemoteButton::volumeUp:
            return Message::MediaCommand{MediaCommand::volumeUp};
        case WatchRemoteButton::volumeDown:
            return Message::MediaCommand{MediaCommand::volumeDown};
        case WatchRemoteButton::mute:
            return Message::MediaCommand{MediaCommand::mute};
        case WatchRemoteButton::lock:
            return Message::QuickAction{QuickAction::lockScreen};
        case WatchRemoteButton::sleep:
            return Message::QuickAction{QuickAction::sleep};
        case WatchRemoteButton::spotlight:
            return Message::QuickAction{QuickAction::spotlight};
    }
    return Message::MediaCommand{MediaCommand::playPause};
}

bool needsConfirmation(WatchRemoteButton button) {
    return button == WatchRemoteButton::sleep;
}

WatchRemoteActions::Outcome WatchRemoteActions::press(WatchRemoteButton button, const WatchStatus& status) {
    pendingConfirmation.reset();
    if (!isAvailable(status))
        return {Outcome::Unavailable{}};
    if (needsConfirmation(button)) {
        pendingConfirmation = button;
        return {Outcome::NeedsConfirmation{button}};
    }
    return {Outcome::Send{message(button)}};
}

std::optional<Message> WatchRemoteActions::confirm(const WatchStatus& status) {
    if (!pendingConfirmation)
        return std::nullopt;
    const auto button = *pendingConfirmation;
    pendingConfirmation.reset();
    if (!isAvailable(status))
        return std::nullopt;
    return message(button);
}

std::vector<MediaCommand> WatchCrownVolume::update(double value) {
    if (!std::isfinite(value))
        return {};
    std::vector<MediaCommand> result;
    if (lastValue)
        result = steps(value - *lastValue);
    lastValue = value;
    return result;
}

std::vector<MediaCommand> WatchCrownVolume::steps(double delta) {
    if (delta == 0 || !std::isfinite(delta))
        return {};
    if (pending != 0 && (pending > 0) != (delta > 0))
        pending = delta;
    else
        pending += delta;
    if (!std::isfinite(pending)) {
        pending = 0;
        return {};
    }
    // The fields may have been set to anything since construction: sanitised as the initialiser does,
    // since a NaN step would make the count undefined and a negative count an impossible allocation.
    const Configuration used{configuration.unitsPerStep, configuration.maxStepsPerUpdate};
    // Compared as doubles first: a tiny step size can make the quotient too large for an integer.
    const double quotient = std::trunc(pending / used.unitsPerStep);
    if (quotient == 0)
        return {};
    const auto maxSteps = used.maxStepsPerUpdate;
    std::int64_t n;
    if (std::fabs(quotient) > static_cast<double>(maxSteps)) {
        n = maxSteps;
        pending = 0;
    } else {
        n = static_cast<std::int64_t>(std::fabs(quotient));
        pending -= quotient * used.unitsPerStep;
    }
    // One crown update can never ask for more steps than a volume range has.
    n = std::min<std::int64_t>(n, 100);
    return std::vector<MediaCommand>(static_cast<std::size_t>(n),
                                     quotient > 0 ? MediaCommand::volumeUp : MediaCommand::volumeDown);
}

void WatchCrownVolume::reset() {
    lastValue.reset();
    pending = 0;
}

}  // namespace TrackpadProtocol
