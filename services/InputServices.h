#pragma once
// The input services the runtime routes phone messages through: the pointer injector and the gesture
// engine. Both keep per-phone sequencers, so the runtime passes every message through `sequence` first
// and hands each released message to `handle`.
//
// Thread: every call comes from the main queue.
#include <functional>
#include <optional>
#include <unordered_set>
#include <vector>

#include "protocol/messages/Message.h"
#include "protocol/messages/Uuid.h"

namespace Shell {

using DeviceID = TrackpadProtocol::UUID;
using DeviceSet = std::unordered_set<DeviceID>;

// Pointer motion, clicks, drags, scrolls and media keys.
class InputService {
  public:
    virtual ~InputService() = default;

    // Orders the device's positioned messages and keeps a phone that just lost control from disturbing
    // the controller; returns what is ready for handle(), possibly nothing.
    virtual std::vector<TrackpadProtocol::Message> sequence(const TrackpadProtocol::Message& message,
                                                            const DeviceID& device) = 0;
    // Posts one message; false when the message is not one the injector carries out.
    virtual bool handle(const TrackpadProtocol::Message& message) = 0;
    // Lets go of everything held (button, scroll, pending motion).
    virtual void reset() = 0;
    virtual void setInputController(const DeviceID& device) = 0;
    virtual void retainDevices(const DeviceSet& devices) = 0;
    virtual void forgetDevice(const DeviceID& device) = 0;
    // Called on the main queue when the user shakes the pointer; an empty function removes it.
    virtual void setOnShake(std::function<void()> onShake) = 0;
};

// Gestures, key combinations, text and quick actions.
class GestureService {
  public:
    virtual ~GestureService() = default;

    // Repairs the device's pinch and swipe streams; returns what is ready for handle(), possibly nothing.
    virtual std::vector<TrackpadProtocol::Message> sequence(const TrackpadProtocol::Message& message,
                                                            const DeviceID& device) = 0;
    // Carries out one message of the device; false when it is not one the engine handles.
    virtual bool handle(const TrackpadProtocol::Message& message, const DeviceID& device) = 0;
    // Ends what is open (the given device's sequences, an open pinch or swipe) and cancels pending
    // resends. Called when the controller changes (with the previous one), when input is reset, when a
    // device goes, and on stop (with none).
    virtual void reset(const std::optional<DeviceID>& device) = 0;
    virtual void retainDevices(const DeviceSet& devices) = 0;
    virtual void forgetDevice(const DeviceID& device) = 0;
};

}  // namespace Shell
