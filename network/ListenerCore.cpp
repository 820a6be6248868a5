#include "network/ListenerCore.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

#include "network/Durations.h"

namespace CompanionNetwork {

namespace {

// Connections accepted per wake-up before other work gets its turn.
constexpr int maxAcceptsPerWakeup = 16;

// OpenSSL writes to sockets with write(2): a phone that vanished must not take the process with it.
void ignoreBrokenPipes() {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        ::signal(SIGPIPE, SIG_IGN);
    }
}

}  // namespace

ListenerCore::ListenerCore(std::shared_ptr<PairingCoordinator> coordinator,
                           CompanionListener::Configuration configuration, platform::EventLoop& queue,
                           Callbacks callbacks, CompanionListener::Services services)
    : coordinator_(std::move(coordinator)),
      configuration_(std::move(configuration)),
      queue_(queue),
      callbacks_(std::move(callbacks)),
      services_(std::move(services)) {}

ListenerCore::~ListenerCore() {
    stop(false);
}

void ListenerCore::onQueue(std::function<void(ListenerCore&)> work) {
    queue_.post([weak = weak_from_this(), work = std::move(work)] {
        if (auto core = weak.lock()) {
            core->guarded("a listener task", ConnectionID{}, [&] { work(*core); });
        }
    });
}

platform::Executor::TimerID ListenerCore::after(double seconds, std::function<void(ListenerCore&)> task) {
    return queue_.schedule(clampedMicroseconds(seconds), [weak = weak_from_this(), task = std::move(task)] {
        if (auto core = weak.lock()) {
            core->guarded("a listener timer", ConnectionID{}, [&] { task(*core); });
        }
    });
}

void ListenerCore::report(CompanionListener::State state) {
    if (callbacks_.onStateChange) {
        guarded("the state handler", ConnectionID{}, [&] { callbacks_.onStateChange(state); });
    }
}

void ListenerCore::reportFault(const char* what, ConnectionID id, const char* error) noexcept {
    try {
        const std::string text = std::string(what) + " failed: " + error;
        if (Peer* found = peer(id)) {
            peerNotice(*found, platform::LogLevel::error,
                       "connection " + std::to_string(id.value) + ": " + text);
        } else {
            listenerNotice(platform::LogLevel::error, text);
        }
    } catch (...) {
        // Out of memory for the line itself: nothing more to do.
    }
}

void ListenerCore::peerNotice(Peer& peer, platform::LogLevel level, const std::string& text) {
    listenerNotice(level, text, peer.host);
}

void ListenerCore::listenerNotice(platform::LogLevel level, const std::string& text,
                                  const std::string& host) {
    const ConnectionNotices::Decision decision = notices_.take(host, queue_.now());
    if (decision.summary) {
        log_.notice(*decision.summary);
    }
    if (decision.log) {
        log_.log(level, text);
    }
    armNoticeFlush();
}

void ListenerCore::armNoticeFlush() {
    if (noticeFlushTimer_ != 0 || !running_) {
        return;
    }
    if (const std::optional<double> delay = notices_.untilFlush(queue_.now())) {
        noticeFlushTimer_ = after(*delay + 0.001, [](ListenerCore& core) {
            core.noticeFlushTimer_ = 0;
            core.flushNotices(core.queue_.now());
            core.armNoticeFlush();
        });
    }
}

void ListenerCore::flushNotices(double now) {
    if (const std::optional<std::string> summary = notices_.flush(now)) {
        log_.notice(*summary);
    }
}

void ListenerCore::start() {
    if (running_) {
        return;
    }
    report({CompanionListener::State::Setup{}});
    try {
        startListening();
    } catch (const std::exception& error) {
        log_.error(std::string("the listener could not start: ") + error.what());
        stop(false);
        report({CompanionListener::State::Failed{error.what()}});
        return;
    }
    running_ = true;
    if (!configuration_.loopbackOnly) {
        if (services_.makeAdvertiser) {
            advertiser_ = services_.makeAdvertiser();
        }
        if (advertiser_) {
            advertiser_->setStateHandler(
                [this](const ServiceAdvertiser::State& state) { onAdvertisement(state); });
            advertiser_->advertise(
                ServiceAdvertisement{configuration_.serviceName, details_->tcpPort, details_->udpPort,
                                     makeServiceTXT(details_->hostID, configuration_.wakeAddresses)});
        }
        if (services_.makePathMonitor) {
            pathMonitor_ = services_.makePathMonitor();
        }
        if (pathMonitor_) {
            try {
                pathMonitor_->start([this](const PathStatus& status) { onPathUpdate(status); });
            } catch (const std::exception& error) {
                // Serving goes on without path reports; the phones that reach us still do.
                log_.error(std::string("the path monitor could not start: ") + error.what());
                pathMonitor_.reset();
            }
        }
    }
    pathSatisfied_ = true;
    reportServing();
}

void ListenerCore::startListening() {
    ignoreBrokenPipes();
    identity_.emplace(coordinator_->hostID(), coordinator_->tlsPrivateKey());
    tlsContext_ = TrackpadProtocol::makeTLSServerContext(*identity_);
    dtlsContext_ = TrackpadProtocol::makeDTLSServerContext(*identity_);

    listeningSocket_ =
        openBoundSocket(SocketKind::stream, configuration_.loopbackOnly, configuration_.tcpPort);
    SocketFD datagramSocket =
        openBoundSocket(SocketKind::datagram, configuration_.loopbackOnly, configuration_.udpPort);
    flows_ = std::make_unique<DatagramFlows>(
        queue_, dtlsContext_.get(), std::move(datagramSocket), configuration_.handshakeTimeout,
        [this](DatagramFlows::FlowID flow, const SocketAddress& from, std::span<const std::uint8_t> bytes) {
            onDatagram(flow, from, bytes);
        });
    // A phone with a session may wait before its first touch: its finished flow stays until it is used.
    flows_->setKeepsUnadopted([this](const std::string& host) {
        return std::any_of(peers_.begin(), peers_.end(), [&](const auto& entry) {
            return entry.second->sessionDevice && entry.second->host == host;
        });
    });
    flows_->start();
    acceptWatch_ = queue_.watch(listeningSocket_.get(), platform::EventLoop::readable,
                                [this](std::uint32_t) { acceptConnections(); });
    details_ = CompanionListener::Details{configuration_.serviceName, localPort(listeningSocket_.get()),
                                          flows_->port(), coordinator_->hostID(), std::nullopt};
}

void ListenerCore::reportServing() {
    if (!running_ || !details_) {
        return;
    }
    if (pathSatisfied_) {
        report({CompanionListener::State::Ready{*details_}});
    }
}

void ListenerCore::onAdvertisement(const ServiceAdvertiser::State& state) {
    std::optional<std::string> problem;
    if (const auto* unavailable = std::get_if<ServiceAdvertiser::Unavailable>(&state)) {
        log_.notice("serving without DNS-SD advertisement: " + unavailable->reason);
        problem = unavailable->reason;
    } else if (const auto* failed = std::get_if<ServiceAdvertiser::Failed>(&state)) {
        log_.error("the DNS-SD advertisement failed: " + failed->reason);
        problem = failed->reason;
    } else if (const auto* advertising = std::get_if<ServiceAdvertiser::Advertising>(&state)) {
        log_.info("advertised as \"" + advertising->instanceName + "\"");
    }
    if (!running_ || !details_ || details_->advertisementProblem == problem) {
        return;
    }
    // Kept while there is no network too, so that the ready state after it tells the truth.
    details_->advertisementProblem = std::move(problem);
    reportServing();
}

void ListenerCore::onPathUpdate(const PathStatus& status) {
    if (!running_ || status.satisfied == pathSatisfied_) {
        return;
    }
    pathSatisfied_ = status.satisfied;
    if (status.satisfied) {
        reportServing();
    } else {
        report({CompanionListener::State::Waiting{status.reason}});
    }
}

void ListenerCore::stop(bool report) {
    const bool wasRunning = running_;
    running_ = false;
    if (pathMonitor_) {
        pathMonitor_->cancel();
        pathMonitor_.reset();
    }
    if (advertiser_) {
        advertiser_->withdraw();
        advertiser_.reset();
    }
    if (acceptWatch_ != 0) {
        queue_.removeWatch(acceptWatch_);
        acceptWatch_ = 0;
    }
    acceptsHeld_ = false;
    queue_.cancel(acceptsResumeTimer_);
    acceptsResumeTimer_ = 0;
    listeningSocket_.reset();
    std::vector<ConnectionID> open;
    for (const auto& entry : peers_) {
        open.push_back(entry.first);
    }
    if (report) {
        for (const ConnectionID id : open) {
            closePeer(id, "the listener stopped");
        }
        // The flush: every phone's open scroll is closed before the services stop hearing from it.
        std::vector<UUID> devices;
        for (const auto& entry : scrolls_) {
            devices.push_back(entry.first);
        }
        for (const UUID& device : devices) {
            finishScroll(device);
        }
    } else {
        for (auto& [id, peer] : peers_) {
            queue_.cancel(peer->handshakeTimer);
            peer->decoder.close();
            peer->connection->close();
            for (const auto& unlock : peer->unlocks) {
                unlock->cancel();
            }
            coordinator_->connectionClosed(id);
        }
        peers_.clear();
    }
    for (auto& entry : scrolls_) {
        queue_.cancel(entry.second.idleTimer);
    }
    scrolls_.clear();
    if (flows_) {
        flows_->closeAll();
        flows_.reset();
    }
    opener_ = TrackpadProtocol::DatagramOpener();
    peerByKey_.clear();
    queue_.cancel(pairingExpiryTimer_);
    pairingExpiryTimer_ = 0;
    queue_.cancel(noticeFlushTimer_);
    noticeFlushTimer_ = 0;
    flushNotices(std::numeric_limits<double>::infinity());
    details_.reset();
    if (report && wasRunning) {
        this->report({CompanionListener::State::Stopped{}});
    }
}

void ListenerCore::acceptConnections() {
    for (int i = 0; i < maxAcceptsPerWakeup; ++i) {
        // Refused at once, silent connections that come straight back would keep every slot within its
        // grace and a phone out for good; held in the queue, a phone that connects has its turn.
        if (const std::optional<double> wait = timeUntilRoom()) {
            holdAccepts(*wait);
            return;
        }
        SocketAddress remote;
        SocketFD socket = acceptConnection(listeningSocket_.get(), remote);
        if (!socket) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                listenerNotice(platform::LogLevel::error,
                               std::string("accepting a connection failed: ") + std::strerror(errno));
            }
            return;
        }
        if (!makeRoomFor(remote)) {
            continue;  // closed as the descriptor goes out of scope
        }
        admit(std::move(socket), remote);
    }
}

bool ListenerCore::makeRoomFor(const SocketAddress& remote) {
    const std::string host = remote.host();
    const auto unpaired = std::count_if(peers_.begin(), peers_.end(), [&](const auto& entry) {
        return !entry.second->sessionDevice && entry.second->host == host;
    });
    if (unpaired >= maxUnpairedPerHost && !evictForNewConnection(remote, &host)) {
        listenerNotice(platform::LogLevel::notice,
                       "refused a connection from " + remote.description() + ": " +
                           std::to_string(maxUnpairedPerHost) +
                           " connections without a session from there are open already",
                       host);
        return false;
    }
    if (peers_.size() >= static_cast<std::size_t>(std::max(configuration_.maxConnections, 0)) &&
        !evictForNewConnection(remote)) {
        listenerNotice(platform::LogLevel::notice,
                       "refused a connection from " + remote.description() + ": all " +
                           std::to_string(configuration_.maxConnections) + " connections are in use",
                       host);
        return false;
    }
    return true;
}

std::optional<double> ListenerCore::timeUntilRoom() const {
    if (peers_.size() < static_cast<std::size_t>(std::max(configuration_.maxConnections, 0))) {
        return std::nullopt;
    }
    const double grace = std::min(evictionGrace, clampedSeconds(configuration_.handshakeTimeout));
    const double now = queue_.now();
    const std::optional<ConnectionID> pairing = coordinator_->pairingConnection();
    std::optional<double> earliest;
    for (const auto& [id, each] : peers_) {
        if (each->sessionDevice || pairing == id) {
            continue;
        }
        const double left = each->acceptedAt + grace - now;
        if (!(left > 0)) {
            return std::nullopt;
        }
        earliest = std::min(earliest.value_or(left), left);
    }
    return earliest;
}

void ListenerCore::holdAccepts(double seconds) {
    if (acceptsHeld_ || acceptWatch_ == 0) {
        return;
    }
    acceptsHeld_ = true;
    queue_.updateWatch(acceptWatch_, 0);
    acceptsResumeTimer_ = after(seconds + 0.001, [](ListenerCore& core) {
        core.acceptsResumeTimer_ = 0;
        core.resumeAccepts();
    });
}

void ListenerCore::resumeAccepts() {
    if (!acceptsHeld_) {
        return;
    }
    acceptsHeld_ = false;
    queue_.cancel(acceptsResumeTimer_);
    acceptsResumeTimer_ = 0;
    if (acceptWatch_ != 0) {
        queue_.updateWatch(acceptWatch_, platform::EventLoop::readable);
    }
}

// Idle connections must not keep phones out: the oldest one without a session that is not pairing makes
// room, once it has had its grace. A phone with a session, or the one pairing, is never evicted.
bool ListenerCore::evictForNewConnection(const SocketAddress& remote, const std::string* host) {
    const double grace = std::min(evictionGrace, clampedSeconds(configuration_.handshakeTimeout));
    const double now = queue_.now();
    const std::optional<ConnectionID> pairing = coordinator_->pairingConnection();
    for (const auto& [id, each] : peers_) {  // in the order they came
        if ((host == nullptr || each->host == *host) && !each->sessionDevice && pairing != id &&
            !(now - each->acceptedAt < grace)) {
            closePeer(id, "it made room for a new connection from " + remote.description());
            return true;
        }
    }
    return false;
}

void ListenerCore::admit(SocketFD socket, const SocketAddress& remote) {
    const ConnectionID id{nextConnection_++};
    std::unique_ptr<TLSConnection> connection;
    try {
        connection = std::make_unique<TLSConnection>(queue_, tlsContext_.get(), std::move(socket), remote);
    } catch (const std::exception& error) {
        listenerNotice(platform::LogLevel::error,
                       std::string("a connection could not be set up: ") + error.what());
        return;
    }
    connection->setReadLimit(unpairedReadLimit);
    connection->setWriteStallLimit(configuration_.writeStallTimeout);
    auto peer = std::make_shared<Peer>(id, std::move(connection), queue_.now());
    peer->handshakeTimer =
        after(configuration_.handshakeTimeout, [id](ListenerCore& core) { core.onHandshakeTimeout(id); });
    peers_.emplace(id, peer);
    peer->connection->start(
        {.established = [this, id] { onEstablished(id); },
         .received = [this, id](std::span<const std::uint8_t> bytes) { onReceived(id, bytes); },
         .closed = [this, id](const std::string& reason) { closePeer(id, reason); }});
}

void ListenerCore::onEstablished(ConnectionID id) {
    Peer* found = peer(id);
    if (found == nullptr) {
        return;
    }
    try {
        found->pairingExporter = TrackpadProtocol::exportPairingSecret(found->connection->ssl());
        found->datagramKey = TrackpadProtocol::exportDatagramKey(found->connection->ssl());
    } catch (const std::exception& error) {
        closePeer(id, std::string("keying material could not be exported: ") + error.what());
    }
}

void ListenerCore::onReceived(ConnectionID id, std::span<const std::uint8_t> bytes) {
    const auto found = peers_.find(id);
    if (found == peers_.end()) {
        return;
    }
    // Held for the duration of the read: a message may close this very connection.
    const PeerPointer holder = found->second;
    holder->decoder.feed(
        bytes,
        [&](Message&& message) {
            if (peers_.count(id) != 0) {
                guarded("handling a message", id,
                        [&] { handle(*holder, message, TrackpadProtocol::Transport::reliable); });
            }
        },
        [&](const TrackpadProtocol::FrameDecoder::BadFrame& bad) { onBadFrame(id, bad); });
}

void ListenerCore::onBadFrame(ConnectionID id, const TrackpadProtocol::FrameDecoder::BadFrame& bad) {
    Peer* from = peer(id);
    if (from == nullptr) {
        return;
    }
    if (bad.closesConnection) {
        closePeer(id, std::string("unusable frames: ") + bad.what());
        return;
    }
    // Good frames between bad ones do not wipe the slate: a phone that keeps sending bad frames goes.
    const double now = queue_.now();
    from->badFrames.push_back(now);
    while (!from->badFrames.empty() && !(now - from->badFrames.front() < badFrameWindow)) {
        from->badFrames.pop_front();
    }
    if (std::ssize(from->badFrames) >= maxBadFrames) {
        from->decoder.close();
        closePeer(id, std::to_string(maxBadFrames) + " unusable frames within " +
                          std::to_string(static_cast<int>(badFrameWindow)) + " s");
        return;
    }
    peerNotice(*from, platform::LogLevel::notice,
               "dropped a message from connection " + std::to_string(id.value) + ": " + bad.what());
}

void ListenerCore::closePeer(ConnectionID id, const std::string& reason) {
    const auto found = peers_.find(id);
    if (found == peers_.end()) {
        return;
    }
    PeerPointer closing = found->second;
    peers_.erase(found);
    listenerNotice(platform::LogLevel::info,
                   "connection " + std::to_string(id.value) + " from " + closing->host + " closed: " + reason,
                   closing->host);
    queue_.cancel(closing->handshakeTimer);
    closing->decoder.close();
    closing->connection->close();
    for (const auto& unlock : closing->unlocks) {
        unlock->cancel();
    }
    closing->unlocks.clear();
    if (closing->datagramKey) {
        opener_.remove(closing->datagramKey->keyID);
        peerByKey_.erase(closing->datagramKey->keyID);
    }
    if (flows_) {
        flows_->closeFlowsOf(id.value);
    }
    const std::optional<UUID> device = coordinator_->connectionClosed(id);
    if (device) {
        finishScroll(*device);
    }
    endScreenView(*closing);
    armPairingExpiry();
    resumeAccepts();
    releaseLater(std::move(closing));
}

void ListenerCore::releaseLater(PeerPointer peer) {
    // The connection may be inside one of its own handlers right now; it goes once that has returned.
    queue_.post([peer = std::move(peer)] {});
}

void ListenerCore::onHandshakeTimeout(ConnectionID id) {
    Peer* found = peer(id);
    if (found != nullptr) {
        found->handshakeTimer = 0;
        closePeer(id, "it neither paired nor opened a session in time");
    }
}

void ListenerCore::armPairingExpiry() {
    queue_.cancel(pairingExpiryTimer_);
    pairingExpiryTimer_ = 0;
    const std::optional<double> left = coordinator_->secondsUntilPairingExpires();
    if (left && running_) {
        pairingExpiryTimer_ = after(*left, [](ListenerCore& core) { core.onPairingExpiry(); });
    }
    rearmHandshakeTimers();
}

// A connection whose pairing ended (declined, expired, locked out) or whose session was revoked gets
// the handshake timeout again: otherwise a few pairing runs would hold every connection for good.
void ListenerCore::rearmHandshakeTimers() {
    if (!running_) {
        return;
    }
    const std::optional<ConnectionID> pairing = coordinator_->pairingConnection();
    for (auto& [id, each] : peers_) {
        if (each->handshakeTimer == 0 && !each->sessionDevice && pairing != id) {
            each->handshakeTimer = after(configuration_.handshakeTimeout,
                                         [id = id](ListenerCore& core) { core.onHandshakeTimeout(id); });
        }
    }
}

void ListenerCore::onPairingExpiry() {
    pairingExpiryTimer_ = 0;
    if (const auto notice = coordinator_->expirePairing()) {
        send(notice->connection, notice->message);
    }
    armPairingExpiry();
}

Peer* ListenerCore::peer(ConnectionID id) {
    const auto found = peers_.find(id);
    return found == peers_.end() ? nullptr : found->second.get();
}

void ListenerCore::cancelPairing() {
    if (const auto notice = coordinator_->cancelPairing()) {
        send(notice->connection, notice->message);
    }
    armPairingExpiry();
}

void ListenerCore::forgetDevice(const UUID& deviceID, const CompanionListener::ForgetCompletion& completion) {
    PairingCoordinator::ForgetResult result = coordinator_->forgetDevice(deviceID);
    for (const ConnectionID id : result.connections) {
        closePeer(id, "its phone was forgotten");
    }
    finishScroll(deviceID);
    const auto scroll = scrolls_.find(deviceID);
    if (scroll != scrolls_.end()) {
        queue_.cancel(scroll->second.idleTimer);
        scrolls_.erase(scroll);
    }
    if (completion) {
        completion(result.error);
    }
}

void ListenerCore::notify(const PairingCoordinator::Notification& notification) {
    for (const ConnectionID id : notification.connections) {
        send(id, notification.messages);
    }
}

}  // namespace CompanionNetwork
