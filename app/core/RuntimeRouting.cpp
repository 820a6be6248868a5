// Phone messages, input ownership and the pairing coordinator's events.
#include "app/core/CompanionRuntime.h"

namespace Shell {

namespace {

bool isScreenViewObservation(const Message& message) {
    return message.is<Message::ScreenViewStart>() || message.is<Message::ScreenViewSelectDisplay>() ||
           message.is<Message::ScreenshotRequest>() || message.is<Message::ScreenViewStop>();
}

DeviceSet deviceSet(const std::set<DeviceID>& devices) {
    return DeviceSet(devices.begin(), devices.end());
}

}  // namespace

void CompanionRuntime::handleMessage(const Message& message, const DeviceID& device) {
    if (isScreenViewObservation(message)) {
        services_.annotations->observe(message, device);
        services_.presentationImages->observe(message, device);
        return;
    }
    if (auto image = message.as<Message::PresentationImage>()) {
        services_.presentationImages->handle(image->image, device);
        return;
    }
    if (message.is<Message::ScreenDisplaysRequest>()) {
        return;
    }
    if (auto annotation = message.as<Message::Annotation>();
        annotation &&
        std::holds_alternative<TrackpadProtocol::Annotation::Color>(annotation->annotation.kind)) {
        services_.annotations->handle(annotation->annotation, device);
        return;
    }
    if (!permission_.isTrusted()) {
        resetAnnotations();
        resetInput();
        permission_.refresh();
        return;
    }
    route(message, device);
}

void CompanionRuntime::route(const Message& message, const DeviceID& device) {
    if (isScreenViewObservation(message) || message.is<Message::PresentationImage>() ||
        message.is<Message::ScreenDisplaysRequest>()) {
        return;
    }
    if (auto annotation = message.as<Message::Annotation>()) {
        services_.annotations->handle(annotation->annotation, device);
        return;
    }
    std::vector<Message> items;
    for (const Message& released : services_.input->sequence(message, device)) {
        for (Message& item : services_.gestures->sequence(released, device)) {
            items.push_back(std::move(item));
        }
    }
    // What the sequencers hold back does not change who controls the pointer.
    if (items.empty()) {
        return;
    }
    const std::optional<DeviceID> previous = ownership_.controller;
    if (ownership_.takeControl(device)) {
        services_.input->setInputController(device);
        services_.input->reset();
        services_.gestures->reset(previous);
        services_.pointerHighlight->hide();
    }
    for (const Message& item : items) {
        deliver(item, device);
    }
}

void CompanionRuntime::deliver(const Message& message, const DeviceID& device) {
    if (auto annotation = message.as<Message::Annotation>()) {
        services_.annotations->handle(annotation->annotation, device);
    } else if (!services_.input->handle(message)) {
        services_.gestures->handle(message, device);
    }
}

void CompanionRuntime::handleCleanupMessage(const Message& message, const DeviceID& device) {
    if (ownership_.decision(device) != CompanionNetwork::InputOwnership::Decision::deliver) {
        return;
    }
    if (!permission_.isTrusted()) {
        return;
    }
    deliver(message, device);
}

void CompanionRuntime::resetAnnotations() {
    const double now = services_.annotations->now();
    services_.annotations->applyToModel(TrackpadProtocol::Annotation{TrackpadProtocol::Annotation::Clear{}},
                                        now);
    services_.annotations->render(now);
}

// Every break of control ends here: nothing stays held, nobody controls the pointer, the glow goes.
void CompanionRuntime::resetInput() {
    services_.input->reset();
    services_.gestures->reset(ownership_.controller);
    ownership_.controller.reset();
    services_.pointerHighlight->hide();
}

void CompanionRuntime::withdrawUnlockAttempts(const std::function<bool(const DeviceID&)>& matches) {
    for (auto it = unlockAttempts_.begin(); it != unlockAttempts_.end();) {
        if (matches(it->second.device)) {
            it->second.cancellation->cancel();
            it = unlockAttempts_.erase(it);
        } else {
            ++it;
        }
    }
}

void CompanionRuntime::trimToDevices(const DeviceSet& devices) {
    services_.input->retainDevices(devices);
    services_.gestures->retainDevices(devices);
    services_.annotations->retainDevices(devices);
    services_.presentationImages->retainDisplayChoices(devices);
    if (services_.presentationImages->retainOwners(devices)) {
        services_.presentationImages->refresh();
    }
    if (ownership_.controller && !devices.contains(*ownership_.controller)) {
        resetInput();
    }
    withdrawUnlockAttempts([&devices](const DeviceID& device) { return !devices.contains(device); });
    removeRequestsOf([&devices](const DeviceID& device) { return !devices.contains(device); });
}

void CompanionRuntime::dropDevice(const DeviceID& device) {
    services_.input->forgetDevice(device);
    services_.gestures->forgetDevice(device);
    services_.annotations->removeDevice(device);
    services_.presentationImages->removeDisplayChoice(device);
    if (services_.presentationImages->removeOwner(device)) {
        services_.presentationImages->refresh();
    }
    if (ownership_.controller == device) {
        resetInput();
    }
    withdrawUnlockAttempts([&device](const DeviceID& other) { return other == device; });
    removeRequestsOf([&device](const DeviceID& other) { return other == device; });
}

void CompanionRuntime::handlePairingEvent(const PairingEvent& event) {
    pairingProgress.set(pairingProgress.value().applying(event));
    if (auto changed = event.as<PairingEvent::PendingPairingChanged>()) {
        pendingPairing.set(changed->pairing);
    } else if (auto trusted = event.as<PairingEvent::TrustedDevicesChanged>()) {
        trustedDevices.set(trusted->devices);
    } else if (auto connected = event.as<PairingEvent::ConnectedDevicesChanged>()) {
        trimToDevices(deviceSet(connected->devices));
        connectedDevices.set(connected->devices);
        if (connectionNotices_) {
            connectionNotices_->connectionsChanged(connected->devices, trustedDevices.value());
        }
    } else if (auto revoked = event.as<PairingEvent::SessionsRevoked>()) {
        dropDevice(revoked->deviceID);
    }
}

}  // namespace Shell
