// The pairing coordinator's sessions, subscriptions, update calls and connection bookkeeping.
#include <algorithm>

#include "network/MessageRoutes.h"
#include "network/PairingCoordinator.h"
#include "network/PairingCoordinatorSupport.h"
#include "protocol/security/PairingToken.h"

namespace CompanionNetwork {

using namespace TrackpadProtocol;

namespace {

// The largest app-list part that still fits one frame.
constexpr std::size_t appListBudget = 65535;

}  // namespace

PairingCoordinator::Action PairingCoordinator::sessionRequest(ConnectionID connection,
                                                              const Message::SessionRequest& request,
                                                              Events& events) {
    auto device = std::find_if(list_.devices.begin(), list_.devices.end(),
                               [&](const TrustedDevice& d) { return d.id == request.deviceID; });
    // Only the token's digest is stored; PairingToken compares digests in constant time.
    if (device == list_.devices.end() || !PairingToken(request.token).matches(device->tokenDigest))
        return rejection(PairingRejection::notPaired);

    const std::set<UUID> connectedBefore = connectedLocked();
    auto previous = sessions_.find(connection);
    if (previous != sessions_.end() && previous->second != request.deviceID)
        subscriptions_.erase(connection);
    sessions_[connection] = request.deviceID;

    device->lastConnectedAt = now_();
    try {
        // Not waited for: a phone opening sessions again and again must not hold the main queue on disk.
        store_->saveSoon(list_);
    } catch (const std::exception& error) {
        // Only the date of the last connection is at stake; the next save carries it.
        logger_.error(std::string("the last connection date could not be saved: ") + error.what());
    }
    events.emplace_back(PairingEvent::TrustedDevicesChanged{list_.devices});
    noteConnectedChange(connectedBefore, events);

    std::optional<HostFeatures> features;
    if (request.wantsFeatures)
        features = configuration_.features;
    Action result{
        Action::Replies{{Message::SessionAccepted{features}, Message::ControlStatus{controlStatus_}}}};
    result.openedSession = request.deviceID;
    return result;
}

PairingCoordinator::Action PairingCoordinator::subscribe(ConnectionID connection, Subscriptions wanted) {
    const Subscriptions granted = wanted & allowedSubscriptions(configuration_.features);
    subscriptions_[connection].insert(granted);

    // What the phone would otherwise wait for until the next change.
    std::vector<Message> messages;
    if (granted.contains(Subscriptions::nowPlaying)) {
        if (nowPlaying_)
            messages.push_back(Message::NowPlaying{*nowPlaying_});
        else
            messages.push_back(Message::NowPlayingUnavailable{});
    }
    if (granted.contains(Subscriptions::apps) && runningApps_) {
        auto parts = runningAppsMessages();
        messages.insert(messages.end(), parts.begin(), parts.end());
    }
    if (granted.contains(Subscriptions::screenLock) && screenLock_)
        messages.push_back(Message::ScreenLockStatus{*screenLock_});
    if (granted.contains(Subscriptions::volume) && volume_)
        messages.push_back(Message::VolumeStatus{*volume_});
    return {Action::Replies{std::move(messages)}};
}

std::vector<TrackpadProtocol::Message> PairingCoordinator::runningAppsMessages() const {
    std::vector<AppListPart> parts;
    try {
        parts = AppListPart::split(*runningApps_, appListBudget);
    } catch (const std::exception&) {
        // An app too large for a part of its own: the phone gets an empty list rather than nothing.
        parts = {AppListPart{}};
    }
    std::vector<Message> messages;
    for (auto& part : parts)
        messages.push_back(Message::RunningApps{std::move(part)});
    return messages;
}

std::vector<ConnectionID> PairingCoordinator::endSessionsOf(const UUID& deviceID) {
    std::vector<ConnectionID> ended;
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (it->second == deviceID) {
            ended.push_back(it->first);
            subscriptions_.erase(it->first);
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
    return ended;
}

std::set<UUID> PairingCoordinator::connectedLocked() const {
    std::set<UUID> devices;
    for (const auto& [connection, device] : sessions_)
        devices.insert(device);
    return devices;
}

void PairingCoordinator::noteConnectedChange(const std::set<UUID>& before, Events& events) const {
    std::set<UUID> after = connectedLocked();
    if (after != before)
        events.emplace_back(PairingEvent::ConnectedDevicesChanged{std::move(after)});
}

std::optional<UUID> PairingCoordinator::connectionClosed(ConnectionID connection) {
    Events events;
    std::optional<UUID> device;
    {
        std::lock_guard lock(mutex_);
        if (pending_ && pending_->connection == connection)
            finishPairing(PairingOutcome::disconnected(), events);
        const std::set<UUID> connectedBefore = connectedLocked();
        if (auto session = sessions_.find(connection); session != sessions_.end()) {
            device = session->second;
            sessions_.erase(session);
        }
        subscriptions_.erase(connection);
        noteConnectedChange(connectedBefore, events);
    }
    emit(events);
    return device;
}

PairingCoordinator::ForgetResult PairingCoordinator::forgetDevice(const UUID& deviceID) {
    Events events;
    ForgetResult result;
    {
        std::lock_guard lock(mutex_);
        auto device = std::find_if(list_.devices.begin(), list_.devices.end(),
                                   [&](const TrustedDevice& d) { return d.id == deviceID; });
        if (device == list_.devices.end())
            return result;
        // Forgotten in memory whatever the save does: the user asked for this phone to lose access now.
        list_.devices.erase(device);
        try {
            store_->save(list_);
        } catch (const std::exception& error) {
            result.error = error.what();
        }
        const std::set<UUID> connectedBefore = connectedLocked();
        result.connections = endSessionsOf(deviceID);
        events.emplace_back(PairingEvent::TrustedDevicesChanged{list_.devices});
        events.emplace_back(PairingEvent::SessionsRevoked{deviceID});
        noteConnectedChange(connectedBefore, events);
    }
    emit(events);
    return result;
}

// ---- Updates ------------------------------------------------------------------------------------------

std::vector<ConnectionID> PairingCoordinator::subscribers(Subscriptions kind) const {
    std::vector<ConnectionID> connections;
    for (const auto& [connection, subscribed] : subscriptions_)
        if (subscribed.contains(kind) && sessions_.contains(connection))
            connections.push_back(connection);
    return connections;
}

PairingCoordinator::Notification PairingCoordinator::updateControlStatus(ControlStatus status) {
    std::lock_guard lock(mutex_);
    controlStatus_ = status;
    Notification notification{{}, {Message::ControlStatus{status}}};
    for (const auto& [connection, device] : sessions_)
        notification.connections.push_back(connection);
    return notification;
}

PairingCoordinator::Notification PairingCoordinator::updateNowPlaying(std::optional<NowPlaying> nowPlaying) {
    std::lock_guard lock(mutex_);
    nowPlaying_ = std::move(nowPlaying);
    Message message =
        nowPlaying_ ? Message(Message::NowPlaying{*nowPlaying_}) : Message(Message::NowPlayingUnavailable{});
    return {subscribers(Subscriptions::nowPlaying), {std::move(message)}};
}

PairingCoordinator::Notification PairingCoordinator::updateRunningApps(std::vector<MacApp> apps) {
    std::lock_guard lock(mutex_);
    runningApps_ = std::move(apps);
    auto connections = subscribers(Subscriptions::apps);
    if (connections.empty())
        return {};
    return {std::move(connections), runningAppsMessages()};
}

PairingCoordinator::Notification PairingCoordinator::updateScreenLockStatus(ScreenLockStatus status) {
    std::lock_guard lock(mutex_);
    screenLock_ = status;
    return {subscribers(Subscriptions::screenLock), {Message::ScreenLockStatus{status}}};
}

PairingCoordinator::Notification PairingCoordinator::updateVolumeStatus(VolumeStatus status) {
    std::lock_guard lock(mutex_);
    volume_ = status;
    return {subscribers(Subscriptions::volume), {Message::VolumeStatus{status}}};
}

// ---- Reading ------------------------------------------------------------------------------------------

std::vector<TrustedDevice> PairingCoordinator::trustedDevices() const {
    std::lock_guard lock(mutex_);
    return list_.devices;
}

std::optional<UUID> PairingCoordinator::sessionDevice(ConnectionID connection) const {
    std::lock_guard lock(mutex_);
    auto session = sessions_.find(connection);
    if (session == sessions_.end())
        return std::nullopt;
    return session->second;
}

std::vector<ConnectionID> PairingCoordinator::sessionConnections(const UUID& deviceID) const {
    std::lock_guard lock(mutex_);
    std::vector<ConnectionID> connections;
    for (const auto& [connection, device] : sessions_)
        if (device == deviceID)
            connections.push_back(connection);
    return connections;
}

std::set<UUID> PairingCoordinator::connectedDevices() const {
    std::lock_guard lock(mutex_);
    return connectedLocked();
}

Subscriptions PairingCoordinator::subscriptions(ConnectionID connection) const {
    std::lock_guard lock(mutex_);
    auto found = subscriptions_.find(connection);
    return found == subscriptions_.end() ? Subscriptions{} : found->second;
}

UUID PairingCoordinator::hostID() const {
    std::lock_guard lock(mutex_);
    return list_.hostID;
}

Data PairingCoordinator::tlsPrivateKey() const {
    std::lock_guard lock(mutex_);
    return list_.tlsPrivateKey;
}

}  // namespace CompanionNetwork
