// The pairing coordinator: construction, the decision for each message, and the pairing exchange.
// Sessions, subscriptions and the update calls are in PairingCoordinatorSessions.cpp.
#include "network/PairingCoordinator.h"

#include <algorithm>
#include <stdexcept>

#include "network/MessageRoutes.h"
#include "network/PairingCoordinatorSupport.h"
#include "network/ServiceAnswers.h"
#include "protocol/messages/Secrets.h"

namespace CompanionNetwork {

using namespace TrackpadProtocol;
using Route = MessageRoute;

PairingCoordinator::PairingCoordinator(std::shared_ptr<TrustedDeviceStore> store, std::string hostName,
                                       Configuration configuration, Clock now,
                                       std::shared_ptr<PairingSecurity> security)
    : store_(std::move(store)),
      security_(std::move(security)),
      hostName_(truncatedForWire(hostName)),
      configuration_(configuration),
      now_(std::move(now)) {
    if (!store_ || !security_ || !now_)
        throw std::invalid_argument("PairingCoordinator needs a store, security and a clock");
    if (auto loaded = store_->load()) {
        // The identity is built from this key at every start; a key that cannot serve would keep the
        // listener failing forever, while as a damaged list the user can reset it.
        if (!security_->isUsableTLSPrivateKey(loaded->tlsPrivateKey))
            throw TrustedDeviceStoreError::unreadable("the TLS key is not a usable P-256 private key");
        list_ = std::move(*loaded);
    } else {
        list_.hostID = UUID::random();
        list_.tlsPrivateKey = security_->makeTLSPrivateKey();
        store_->save(list_);
    }
}

PairingCoordinator::~PairingCoordinator() = default;

void PairingCoordinator::setEventHandler(EventHandler handler) {
    std::lock_guard lock(mutex_);
    eventHandler_ = std::move(handler);
}

void PairingCoordinator::emit(Events& events) {
    if (events.empty())
        return;
    EventHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = eventHandler_;
    }
    if (!handler)
        return;
    // The decision is made and kept whatever the application does with the news: a handler that
    // throws must not undo it, nor keep the later events from the others.
    for (const auto& event : events) {
        try {
            handler(event);
        } catch (const std::exception& error) {
            logger_.error(std::string("the pairing event handler failed: ") + error.what());
        } catch (...) {
            logger_.error("the pairing event handler failed");
        }
    }
}

PairingCoordinator::Action PairingCoordinator::decide(ConnectionID connection, const Message& message,
                                                      const ConnectionContext& context) {
    Events events;
    Action action;
    {
        std::lock_guard lock(mutex_);
        action = decideLocked(connection, message, context, events);
    }
    emit(events);
    return action;
}

PairingCoordinator::Action PairingCoordinator::decideLocked(ConnectionID connection, const Message& message,
                                                            const ConnectionContext& context,
                                                            Events& events) {
    const Route route = routeOf(message);
    auto session = sessions_.find(connection);
    auto offered = [&] {
        auto feature = requiredFeature(message);
        return !feature || configuration_.features.contains(*feature);
    };

    if (context.channel == Transport::datagram) {
        // A datagram was sealed under a session's key; without that session it means nothing. Only
        // datagram-transport messages are taken from this channel, and never an unlock request.
        if (session == sessions_.end())
            return {};
        if (const auto* probe = message.as<Message::Probe>())
            return reply(Message::ProbeReply{probe->number, probe->viaDatagram});
        // Scrolls of every phase go on to the device's scroll sequencer, which orders them by stamp.
        const bool datagramInput =
            message.transport() == Transport::datagram || message.is<Message::Scroll>();
        if (route != Route::deliver || !datagramInput || !offered())
            return {};
        return action<Action::Deliver>(message, session->second);
    }

    switch (route) {
        case Route::computerOnly:
            return {Action::Disconnect{}};
        case Route::pairing:
            if (const auto* request = message.as<Message::PairingRequest>())
                return pairingRequest(connection, *request, context, events);
            if (const auto* response = message.as<Message::PairingResponse>())
                return pairingResponse(connection, *response, events);
            return pairingCancel(connection, events);
        case Route::session:
            return sessionRequest(connection, *message.as<Message::SessionRequest>(), events);
        case Route::probe: {
            const auto& probe = *message.as<Message::Probe>();
            return reply(Message::ProbeReply{probe.number, probe.viaDatagram});
        }
        default:
            break;
    }

    if (session == sessions_.end())
        return rejection(PairingRejection::notPaired);
    if (!offered()) {
        // A request of a feature not offered gets what an absent service answers, so that a phone that
        // asks anyway does not wait forever; anything else is ignored.
        std::vector<Message> answer = unservedAnswer(message, ServiceFault::absent);
        if (answer.empty())
            return {};
        return {Action::Replies{std::move(answer)}};
    }
    const UUID& device = session->second;
    switch (route) {
        case Route::deliver:
            return action<Action::Deliver>(message, device);
        case Route::answer:
            return action<Action::Answer>(message, device);
        case Route::screenView:
            return action<Action::ScreenView>(message, device);
        case Route::volume:
            return action<Action::Volume>(message, device);
        case Route::unlock:
            return {Action::Unlock{message.as<Message::UnlockRequest>()->request, device}};
        case Route::subscribe:
            return subscribe(connection, message.as<Message::Subscribe>()->subscriptions);
        case Route::unsubscribe: {
            auto& subscribed = subscriptions_[connection];
            subscribed.remove(message.as<Message::Unsubscribe>()->subscriptions);
            return {};
        }
        default:
            return {};
    }
}

// ---- Pairing ------------------------------------------------------------------------------------------

PairingCoordinator::Action PairingCoordinator::pairingRequest(ConnectionID connection,
                                                              const Message::PairingRequest& request,
                                                              const ConnectionContext& context,
                                                              Events& events) {
    const Date now = now_();
    Action result;
    if (auto notice = expireIfDue(now, events))
        result.notices.push_back(std::move(*notice));

    auto refuse = [&](PairingRejection reason) {
        result.kind = Action::Reply{Message::PairingRejected{reason}};
        return result;
    };
    if (isLockedOut(now))
        return refuse(PairingRejection::lockedOut);
    pruneWindow(requestTimes_, now, configuration_.requestWindow);
    if (std::ssize(requestTimes_) >= configuration_.maxPairingRequests)
        return refuse(PairingRejection::rateLimited);
    // A busy refusal costs the computer nothing; counted, it would let a phone that keeps asking while
    // another pairs use up the limit for everyone.
    if (pending_ && pending_->connection != connection)
        return refuse(PairingRejection::busy);
    requestTimes_.push_back(now);
    if (!context.pairingExporter)
        return refuse(PairingRejection::failed);

    try {
        if (pending_) {
            // The same phone asks again, having perhaps lost the challenge: a new run with the same code.
            auto exchange = security_->startExchange(pending_->info.code, *context.pairingExporter,
                                                     list_.hostID, request.deviceID);
            pending_->exchange = std::move(exchange);
            pending_->exporter = *context.pairingExporter;
            if (pending_->info.deviceID != request.deviceID ||
                pending_->info.deviceName != request.deviceName) {
                pending_->info.deviceID = request.deviceID;
                pending_->info.deviceName = request.deviceName;
                events.emplace_back(PairingEvent::PendingPairingChanged{pending_->info});
            }
        } else {
            PairingCode code = security_->makeCode();
            auto exchange =
                security_->startExchange(code, *context.pairingExporter, list_.hostID, request.deviceID);
            pending_ =
                std::make_unique<Pending>(connection,
                                          PendingPairing{request.deviceID, request.deviceName, code, now,
                                                         now + toDuration(configuration_.codeLifetime), 0},
                                          *context.pairingExporter, std::move(exchange));
            events.emplace_back(PairingEvent::PendingPairingChanged{pending_->info});
        }
    } catch (const std::exception& error) {
        logger_.error(std::string("pairing could not start: ") + error.what());
        return refuse(PairingRejection::failed);
    }
    result.kind = Action::Reply{challenge(now)};
    return result;
}

PairingCoordinator::Action PairingCoordinator::pairingResponse(ConnectionID connection,
                                                               const Message::PairingResponse& response,
                                                               Events& events) {
    const Date now = now_();
    Action result;
    auto refuse = [&](PairingRejection reason) {
        result.kind = Action::Reply{Message::PairingRejected{reason}};
        return result;
    };
    if (auto notice = expireIfDue(now, events)) {
        if (notice->connection == connection)
            return refuse(PairingRejection::expired);
        result.notices.push_back(std::move(*notice));
    }
    // Cancelled, expired or finished a moment ago, or never asked for on this connection.
    if (!pending_ || pending_->connection != connection)
        return refuse(PairingRejection::failed);

    bool right = false;
    try {
        right = pending_->exchange->verifyPhone(response.share, response.confirmation);
    } catch (const std::exception& error) {
        logger_.error(std::string("pairing confirmation could not be checked: ") + error.what());
    }

    if (!right) {
        ++pending_->info.failedAttempts;
        failureTimes_.push_back(now);
        if (recentFailures(now) >= configuration_.maxFailedAttempts) {
            lockoutUntil_ = now + toDuration(configuration_.lockoutDuration);
            finishPairing(PairingOutcome::wrongCodeLockout(), events);
            return refuse(PairingRejection::lockedOut);
        }
        try {
            pending_->exchange = security_->startExchange(pending_->info.code, pending_->exporter,
                                                          list_.hostID, pending_->info.deviceID);
        } catch (const std::exception& error) {
            logger_.error(std::string("pairing could not restart: ") + error.what());
            finishPairing(PairingOutcome::disconnected(), events);
            return refuse(PairingRejection::failed);
        }
        events.emplace_back(PairingEvent::PendingPairingChanged{pending_->info});
        result.kind = Action::Reply{challenge(now)};
        return result;
    }

    const UUID deviceID = pending_->info.deviceID;
    const std::string deviceName = pending_->info.deviceName;
    std::optional<PairingToken> token;
    Bytes32 confirmation{};
    TrustedDeviceList updated = list_;
    try {
        token = security_->makeToken();
        confirmation = pending_->exchange->confirmation();
        TrustedDevice device{deviceID, deviceName, now, std::nullopt, token->digest()};
        auto existing = std::find_if(updated.devices.begin(), updated.devices.end(),
                                     [&](const TrustedDevice& d) { return d.id == deviceID; });
        if (existing != updated.devices.end()) {
            // Paired again: a new token and name in the same place of the list; the old token dies.
            device.lastConnectedAt = existing->lastConnectedAt;
            *existing = device;
        } else {
            updated.devices.push_back(device);
        }
        // The phone must never hold a token the computer has not stored.
        store_->save(updated);
    } catch (const std::exception& error) {
        logger_.error(std::string("pairing could not be completed: ") + error.what());
        finishPairing(PairingOutcome::disconnected(), events);
        return refuse(PairingRejection::failed);
    }

    const std::set<UUID> connectedBefore = connectedLocked();
    list_ = std::move(updated);
    finishPairing(PairingOutcome::paired(deviceName), events);
    events.emplace_back(PairingEvent::TrustedDevicesChanged{list_.devices});
    result.endedSessions = endSessionsOf(deviceID);
    if (!result.endedSessions.empty())
        events.emplace_back(PairingEvent::SessionsRevoked{deviceID});
    noteConnectedChange(connectedBefore, events);
    result.kind = Action::Reply{Message::PairingAccepted{token->bytes(), confirmation}};
    return result;
}

PairingCoordinator::Action PairingCoordinator::pairingCancel(ConnectionID connection, Events& events) {
    Action result;
    if (auto notice = expireIfDue(now_(), events); notice && notice->connection != connection)
        result.notices.push_back(std::move(*notice));
    if (pending_ && pending_->connection == connection)
        finishPairing(PairingOutcome::declined(), events);
    return result;
}

TrackpadProtocol::Message PairingCoordinator::challenge(Date now) {
    const int left = std::clamp(configuration_.maxFailedAttempts - recentFailures(now), 1, 255);
    return Message::PairingChallenge{list_.hostID, hostName_, pending_->exchange->sessionID(),
                                     pending_->exchange->share(), static_cast<std::uint8_t>(left)};
}

std::optional<PairingCoordinator::Notice> PairingCoordinator::expireIfDue(Date now, Events& events) {
    if (!pending_ || now < pending_->info.expiresAt)
        return std::nullopt;
    ConnectionID connection = pending_->connection;
    finishPairing(PairingOutcome::expired(), events);
    return Notice{connection, Message::PairingRejected{PairingRejection::expired}};
}

void PairingCoordinator::finishPairing(PairingOutcome outcome, Events& events) {
    pending_.reset();
    events.emplace_back(PairingEvent::PairingFinished{std::move(outcome)});
    events.emplace_back(PairingEvent::PendingPairingChanged{std::nullopt});
}

int PairingCoordinator::recentFailures(Date now) {
    pruneWindow(failureTimes_, now, configuration_.failureWindow);
    return static_cast<int>(failureTimes_.size());
}

bool PairingCoordinator::isLockedOut(Date now) const {
    // A clock set back must not stretch the lockout beyond its duration.
    return lockoutUntil_ && now < *lockoutUntil_ &&
           *lockoutUntil_ - now <= toDuration(configuration_.lockoutDuration);
}

std::optional<PairingCoordinator::Notice> PairingCoordinator::cancelPairing() {
    Events events;
    std::optional<Notice> notice;
    {
        std::lock_guard lock(mutex_);
        if (!pending_)
            return std::nullopt;
        notice = Notice{pending_->connection, Message::PairingRejected{PairingRejection::declined}};
        finishPairing(PairingOutcome::cancelled(), events);
    }
    emit(events);
    return notice;
}

std::optional<double> PairingCoordinator::secondsUntilPairingExpires() const {
    std::lock_guard lock(mutex_);
    if (!pending_)
        return std::nullopt;
    return std::max(0.0, toSeconds(pending_->info.expiresAt - now_()));
}

std::optional<PairingCoordinator::Notice> PairingCoordinator::expirePairing() {
    Events events;
    std::optional<Notice> notice;
    {
        std::lock_guard lock(mutex_);
        notice = expireIfDue(now_(), events);
    }
    emit(events);
    return notice;
}

std::optional<PendingPairing> PairingCoordinator::pendingPairing() const {
    std::lock_guard lock(mutex_);
    if (!pending_)
        return std::nullopt;
    return pending_->info;
}

std::optional<ConnectionID> PairingCoordinator::pairingConnection() const {
    std::lock_guard lock(mutex_);
    if (!pending_)
        return std::nullopt;
    return pending_->connection;
}

}  // namespace CompanionNetwork
