// Per-phone ordering of positioned messages and the hand-off of control between phones.
#include <algorithm>

#include "injector/InputInjector.h"

namespace Injector {
namespace {

using TrackpadProtocol::Message;

const Message& unwrapped(const Message& message) {
    const auto* positioned = message.as<Message::Positioned>();
    return positioned != nullptr ? *positioned->message : message;
}

bool isDragEnd(const Message& message) {
    const auto* drag = message.as<Message::Drag>();
    return drag != nullptr && drag->phase == DragPhase::ended;
}

// A drag end, with nothing but motion released around it, from a phone without control: it would
// release the controller's button.
bool isStrayDragEnd(const Message& message, const std::vector<Message>& released) {
    return isDragEnd(unwrapped(message)) &&
           std::all_of(released.begin(), released.end(),
                       [](const Message& m) { return m.is<Message::Move>() || isDragEnd(m); });
}

bool isOnlyScrollEnd(const std::vector<Message>& released) {
    return std::all_of(released.begin(), released.end(), [](const Message& m) {
        const auto* scroll = m.as<Message::Scroll>();
        return scroll != nullptr && TrackpadProtocol::isFinal(scroll->phase);
    });
}

}  // namespace

std::vector<Message> InputInjector::sequence(const Message& message, const DeviceID& device) {
    std::vector<Message> released;
    if (message.is<Message::Positioned>()) {
        released = devicePointerSequencers_[device].accept(message);
        if (released.empty()) {
            return {};
        }
    } else {
        released.push_back(message);
    }
    if (inputController_ != device) {
        // The answer to the marker that starts a phone's pointer session would release the
        // controller's held button.
        const bool sessionStart =
            released.size() == 1 && released[0] == Message(Message::Drag{DragPhase::ended, 0, 0});
        if (sessionStart || isStrayDragEnd(message, released) || isOnlyScrollEnd(released)) {
            return {};
        }
    }
    // Datagrams still in flight from a phone that just lost control are not applied.
    if (inputController_ && *inputController_ != device &&
        message.transport() == TrackpadProtocol::Transport::datagram) {
        if (const auto handoff = handoffTimes_.find(device);
            handoff != handoffTimes_.end() && clock_() - handoff->second < configuration_.handoffGrace) {
            return {};
        }
    }
    return released;
}

void InputInjector::setInputController(const DeviceID& device) {
    const double now = clock_();
    if (inputController_ && *inputController_ != device) {
        handoffTimes_[*inputController_] = now;
    }
    handoffTimes_.erase(device);
    inputController_ = device;
    std::erase_if(handoffTimes_,
                  [&](const auto& entry) { return !(now - entry.second < configuration_.handoffGrace); });
}

void InputInjector::forgetDevice(const DeviceID& device) {
    devicePointerSequencers_.erase(device);
    handoffTimes_.erase(device);
    if (inputController_ == device) {
        inputController_.reset();
    }
}

void InputInjector::retainDevices(const std::unordered_set<DeviceID>& devices) {
    std::erase_if(devicePointerSequencers_,
                  [&](const auto& entry) { return !devices.contains(entry.first); });
    std::erase_if(handoffTimes_, [&](const auto& entry) { return !devices.contains(entry.first); });
    if (inputController_ && !devices.contains(*inputController_)) {
        inputController_.reset();
    }
}

}  // namespace Injector
