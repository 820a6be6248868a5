// How the listener carries out what the pairing coordinator decides for each message, on either channel.
#include <atomic>
#include <utility>

#include "network/ListenerCore.h"
#include "network/ServiceAnswers.h"
#include "protocol/messages/MessageCodec.h"

namespace CompanionNetwork {

using TrackpadProtocol::Message;
using TrackpadProtocol::Transport;

void ListenerCore::handle(Peer& peer, const Message& message, Transport channel) {
    PairingCoordinator::ConnectionContext context;
    context.channel = channel;
    context.pairingExporter = peer.pairingExporter;
    PairingCoordinator::Action action = coordinator_->decide(peer.id, message, context);
    noteProgress(peer, message, action);
    perform(peer, action);
    armPairingExpiry();
}

// The handshake timer stops once the phone is pairing (it was sent a challenge) or has a session.
void ListenerCore::noteProgress(Peer& peer, const Message&, const PairingCoordinator::Action& action) {
    if (peer.handshakeTimer == 0) {
        return;
    }
    const auto* reply = action.as<PairingCoordinator::Action::Reply>();
    const bool pairing = reply != nullptr && reply->message.is<Message::PairingChallenge>();
    if (pairing || action.openedSession) {
        queue_.cancel(peer.handshakeTimer);
        peer.handshakeTimer = 0;
    }
}

void ListenerCore::perform(Peer& peer, PairingCoordinator::Action& action) {
    using Action = PairingCoordinator::Action;
    const ConnectionID id = peer.id;
    for (const PairingCoordinator::Notice& notice : action.notices) {
        send(notice.connection, notice.message);
    }
    for (const ConnectionID ended : action.endedSessions) {
        endSession(ended);
    }
    if (action.openedSession) {
        openSession(peer, *action.openedSession);
    }
    if (peers_.count(id) == 0) {
        return;
    }
    std::visit(
        [&](auto& kind) {
            using Kind = std::decay_t<decltype(kind)>;
            if constexpr (std::is_same_v<Kind, Action::Reply>) {
                send(id, kind.message);
            } else if constexpr (std::is_same_v<Kind, Action::Replies>) {
                send(id, kind.messages);
            } else if constexpr (std::is_same_v<Kind, Action::Deliver>) {
                deliver(kind.message, kind.deviceID);
            } else if constexpr (std::is_same_v<Kind, Action::DeliverAndReply>) {
                deliver(kind.message, kind.deviceID);
                send(id, kind.reply);
            } else if constexpr (std::is_same_v<Kind, Action::Answer>) {
                answerApps(peer, kind.message, kind.deviceID);
            } else if constexpr (std::is_same_v<Kind, Action::ScreenView>) {
                requestScreenView(peer, kind.message, kind.deviceID);
            } else if constexpr (std::is_same_v<Kind, Action::Unlock>) {
                answerUnlock(peer, kind.request, kind.deviceID);
            } else if constexpr (std::is_same_v<Kind, Action::Volume>) {
                answerVolume(peer, kind.message, kind.deviceID);
            } else if constexpr (std::is_same_v<Kind, Action::Disconnect>) {
                closePeer(id, "the phone sent a message only the computer sends");
            }
        },
        action.kind);
}

void ListenerCore::openSession(Peer& peer, const UUID& deviceID) {
    if (peer.sessionDevice && *peer.sessionDevice != deviceID) {
        finishScroll(*peer.sessionDevice);
        // The view was the other phone's: its link sends nothing for this one.
        endScreenView(peer);
    }
    peer.sessionDevice = deviceID;
    peer.connection->setReadLimit(sessionReadLimit);
    if (!peer.datagramKey) {
        return;
    }
    // One key per TLS connection: a session opened again on it keeps its replay window.
    opener_.install(*peer.datagramKey, peer.host);
    peerByKey_[peer.datagramKey->keyID] = peer.id;
    peer.datagramKeyInstalled = true;
}

void ListenerCore::endSession(ConnectionID id) {
    Peer* ended = peer(id);
    if (ended == nullptr) {
        return;
    }
    if (ended->datagramKey && ended->datagramKeyInstalled) {
        opener_.remove(ended->datagramKey->keyID);
        peerByKey_.erase(ended->datagramKey->keyID);
        ended->datagramKeyInstalled = false;
    }
    if (ended->sessionDevice) {
        const UUID device = *ended->sessionDevice;
        ended->sessionDevice.reset();
        ended->connection->setReadLimit(unpairedReadLimit);
        finishScroll(device);
    }
    // Its link can send nothing any more: capture and encoding must not go on until the connection
    // closes.
    endScreenView(*ended);
}

void ListenerCore::endScreenView(Peer& peer) {
    if (!peer.hadScreenView) {
        return;
    }
    peer.hadScreenView = false;
    if (callbacks_.onScreenViewEnded) {
        const ConnectionID id = peer.id;
        guarded("the screen view's end handler", ConnectionID{}, [&] { callbacks_.onScreenViewEnded(id); });
    }
}

void ListenerCore::onDatagram(DatagramFlows::FlowID flow, const SocketAddress& from,
                              std::span<const std::uint8_t> bytes) {
    TrackpadProtocol::DatagramOpener::Authenticated opened;
    try {
        opened = opener_.authenticate(bytes, from.host());
    } catch (const TrackpadProtocol::DatagramOpener::Failure& failure) {
        log_.debug(std::string("dropped a datagram from ") + from.description() + ": " +
                   TrackpadProtocol::toString(failure.reason()));
        return;
    }
    const auto owner = peerByKey_.find(opened.keyID);
    Peer* sender = owner == peerByKey_.end() ? nullptr : peer(owner->second);
    if (sender == nullptr) {
        return;
    }
    flows_->adopt(flow, sender->id.value);
    Message message;
    try {
        message = TrackpadProtocol::MessageCodec::decode(opened.payload);
    } catch (const TrackpadProtocol::MessageCodec::DecodingError& error) {
        peerNotice(*sender, platform::LogLevel::notice,
                   "dropped an undecodable datagram of connection " + std::to_string(sender->id.value) +
                       ": " + error.what());
        return;
    }
    // A password never comes by datagram, whatever a phone sends.
    if (message.is<Message::UnlockRequest>()) {
        return;
    }
    guarded("handling a datagram", sender->id, [&] { handle(*sender, message, Transport::datagram); });
}

void ListenerCore::deliver(const Message& message, const UUID& deviceID) {
    if (!message.is<Message::Scroll>()) {
        if (callbacks_.onMessage) {
            guarded("the message handler", ConnectionID{}, [&] { callbacks_.onMessage(message, deviceID); });
        }
        return;
    }
    DeviceScroll& scroll = scrolls_[deviceID];
    scroll.lastScroll = queue_.now();
    std::vector<Message> repaired = scroll.sequencer.process(message);
    // One timer per device, moved on lazily: a scroll at 120 Hz must not cost a timer each.
    if (scroll.idleTimer == 0) {
        scroll.idleTimer = after(configuration_.scrollIdleTimeout,
                                 [deviceID](ListenerCore& core) { core.onScrollIdle(deviceID); });
    }
    if (callbacks_.onMessage) {
        for (const Message& each : repaired) {
            guarded("the message handler", ConnectionID{}, [&] { callbacks_.onMessage(each, deviceID); });
        }
    }
}

void ListenerCore::onScrollIdle(const UUID& deviceID) {
    const auto found = scrolls_.find(deviceID);
    if (found == scrolls_.end()) {
        return;
    }
    found->second.idleTimer = 0;
    const double idle = queue_.now() - found->second.lastScroll;
    if (idle + 1e-6 < configuration_.scrollIdleTimeout) {
        found->second.idleTimer = after(configuration_.scrollIdleTimeout - idle,
                                        [deviceID](ListenerCore& core) { core.onScrollIdle(deviceID); });
        return;
    }
    finishScroll(deviceID);
}

void ListenerCore::finishScroll(const UUID& deviceID) {
    const auto found = scrolls_.find(deviceID);
    if (found == scrolls_.end()) {
        return;
    }
    queue_.cancel(found->second.idleTimer);
    found->second.idleTimer = 0;
    const std::vector<Message> closing = found->second.sequencer.finish();
    if (callbacks_.onCleanup) {
        for (const Message& message : closing) {
            guarded("the clean-up handler", ConnectionID{}, [&] { callbacks_.onCleanup(message, deviceID); });
        }
    }
}

// Without the service the phone gets what an absent one answers; a service that throws before it
// answered gets its request answered as failed. Either way exactly one answer goes out.
void ListenerCore::answerUnserved(ConnectionID id, const Message& request, ServiceFault fault) {
    const std::vector<Message> answer = unservedAnswer(request, fault);
    if (!answer.empty()) {
        send(id, answer);
    }
}

void ListenerCore::answerApps(Peer& peer, const Message& message, const UUID& deviceID) {
    const ConnectionID id = peer.id;
    if (!callbacks_.onAppRequest) {
        answerUnserved(id, message, ServiceFault::absent);
        return;
    }
    auto weak = weak_from_this();
    platform::EventLoop* queue = &queue_;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    const bool taken = guarded("the app service", id, [&] {
        callbacks_.onAppRequest(message, deviceID,
                                [weak, queue, id, answered](std::vector<Message> messages) {
                                    answered->store(true);
                                    queue->post([weak, id, messages = std::move(messages)] {
                                        if (auto core = weak.lock()) {
                                            core->send(id, messages);
                                        }
                                    });
                                });
    });
    if (!taken && !answered->exchange(true)) {
        answerUnserved(id, message, ServiceFault::failed);
    }
}

void ListenerCore::answerUnlock(Peer& peer, const TrackpadProtocol::UnlockRequest& request,
                                const UUID& deviceID) {
    const ConnectionID id = peer.id;
    const std::uint32_t number = request.number;
    if (!callbacks_.onUnlockRequest) {
        send(id, Message::UnlockResult{{number, TrackpadProtocol::UnlockResult::Status::notAllowed}});
        return;
    }
    auto cancellation = std::make_shared<UnlockCancellation>();
    peer.unlocks.push_back(cancellation);
    auto weak = weak_from_this();
    platform::EventLoop* queue = &queue_;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    auto complete = [weak, queue, id, cancellation, answered](TrackpadProtocol::UnlockResult result) {
        // The phone gets exactly one result per request.
        if (answered->exchange(true)) {
            return;
        }
        queue->post([weak, id, cancellation, result] {
            auto core = weak.lock();
            if (!core) {
                return;
            }
            if (Peer* asking = core->peer(id)) {
                std::erase(asking->unlocks, cancellation);
                core->send(id, Message::UnlockResult{result});
            }
        });
    };
    const bool taken = guarded("the unlock service", id, [&] {
        callbacks_.onUnlockRequest(request, deviceID, cancellation, complete);
    });
    if (!taken) {
        complete(TrackpadProtocol::UnlockResult{number, TrackpadProtocol::UnlockResult::Status::notAllowed});
    }
}

void ListenerCore::answerVolume(Peer& peer, const Message& message, const UUID& deviceID) {
    const ConnectionID id = peer.id;
    if (!callbacks_.onVolumeRequest) {
        answerUnserved(id, message, ServiceFault::absent);
        return;
    }
    auto weak = weak_from_this();
    platform::EventLoop* queue = &queue_;
    auto answered = std::make_shared<std::atomic<bool>>(false);
    const bool taken = guarded("the volume service", id, [&] {
        callbacks_.onVolumeRequest(message, deviceID,
                                   [weak, queue, id, answered](TrackpadProtocol::VolumeStatus status) {
                                       answered->store(true);
                                       queue->post([weak, id, status] {
                                           if (auto core = weak.lock()) {
                                               core->send(id, Message::VolumeStatus{status});
                                           }
                                       });
                                   });
    });
    if (!taken && !answered->exchange(true)) {
        answerUnserved(id, message, ServiceFault::failed);
    }
}

void ListenerCore::requestScreenView(Peer& peer, const Message& message, const UUID& deviceID) {
    if (!callbacks_.onScreenViewRequest) {
        answerUnserved(peer.id, message, ServiceFault::absent);
        return;
    }
    peer.hadScreenView = true;
    const bool taken = guarded("the screen view service", peer.id,
                               [&] { callbacks_.onScreenViewRequest(message, makeLink(peer.id, deviceID)); });
    if (!taken) {
        answerUnserved(peer.id, message, ServiceFault::failed);
    }
}

ScreenViewLink ListenerCore::makeLink(ConnectionID id, const UUID& deviceID) {
    auto weak = weak_from_this();
    platform::EventLoop* queue = &queue_;
    return ScreenViewLink{
        id, deviceID,
        [weak, queue, id, deviceID](std::vector<Message> messages, ScreenViewLink::Completion completion) {
            auto run = [weak, id, deviceID, messages = std::move(messages),
                        completion = std::move(completion)]() mutable {
                if (auto core = weak.lock()) {
                    core->sendOnLink(id, deviceID, std::move(messages), std::move(completion));
                } else if (completion) {
                    completion();
                }
            };
            if (queue->isCurrent()) {
                run();
            } else {
                queue->post(std::move(run));
            }
        }};
}

void ListenerCore::sendOnLink(ConnectionID id, const UUID& deviceID, std::vector<Message> messages,
                              ScreenViewLink::Completion completion) {
    if (peer(id) == nullptr || coordinator_->sessionDevice(id) != deviceID || messages.empty()) {
        if (completion) {
            completion();
        }
        return;
    }
    send(id, messages, [completion = std::move(completion)](bool) {
        if (completion) {
            completion();
        }
    });
}

void ListenerCore::send(ConnectionID id, const Message& message) {
    send(id, std::vector<Message>{message});
}

void ListenerCore::send(ConnectionID id, const std::vector<Message>& messages,
                        TLSConnection::WriteCompletion completion) {
    Peer* target = peer(id);
    if (target == nullptr) {
        if (completion) {
            queue_.post([completion = std::move(completion)] { completion(false); });
        }
        return;
    }
    TrackpadProtocol::Data frames;
    // Room for the small answers (a token among them) from the start: a buffer outgrown would be freed
    // with its bytes in it.
    frames.reserve(256);
    for (const Message& message : messages) {
        try {
            TrackpadProtocol::MessageFraming::appendFrame(message, frames);
        } catch (const std::exception& error) {
            log_.error(std::string("a message could not be framed and was skipped: ") + error.what());
        }
    }
    target->connection->send(std::move(frames), std::move(completion));
}

}  // namespace CompanionNetwork
