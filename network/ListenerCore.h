#pragma once
// The inside of CompanionListener: sockets, peers, datagram flows, timers and the carrying out of the
// pairing coordinator's decisions. Split over ListenerCore.cpp (life cycle, connections, timers) and
// ListenerActions.cpp (messages, datagrams, actions, per-device scroll state). Lives on the queue; held
// by a shared_ptr so that reply closures can find it, or find it gone.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "TrackpadProtocol/DatagramOpener.h"
#include "TrackpadProtocol/StrokeSequencers.h"
#include "TrackpadProtocol/TLSContext.h"
#include "TrackpadProtocol/TLSIdentity.h"
#include "network/CompanionListener.h"
#include "network/DatagramFlows.h"
#include "network/PairingCoordinator.h"
#include "network/PathMonitor.h"
#include "network/Peer.h"
#include "network/ServiceAdvertiser.h"
#include "network/Sockets.h"
#include "platform/Log.h"

namespace CompanionNetwork {

class ListenerCore : public std::enable_shared_from_this<ListenerCore> {
  public:
    struct Callbacks {
        CompanionListener::MessageHandler onMessage;
        CompanionListener::MessageHandler onCleanup;
        CompanionListener::StateHandler onStateChange;
        CompanionListener::AppRequestHandler onAppRequest;
        CompanionListener::ScreenViewRequestHandler onScreenViewRequest;
        CompanionListener::ScreenViewEndedHandler onScreenViewEnded;
        CompanionListener::UnlockRequestHandler onUnlockRequest;
        CompanionListener::VolumeRequestHandler onVolumeRequest;
    };

    ListenerCore(std::shared_ptr<PairingCoordinator> coordinator,
                 CompanionListener::Configuration configuration, platform::EventLoop& queue,
                 Callbacks callbacks, CompanionListener::Services services);
    ~ListenerCore();

    void start();
    // `report`: false when the listener object goes away (nothing is called back then).
    void stop(bool report = true);
    void cancelPairing();
    void forgetDevice(const UUID& deviceID, const CompanionListener::ForgetCompletion& completion);
    void notify(const PairingCoordinator::Notification& notification);
    PairingCoordinator& coordinator() { return *coordinator_; }

  private:
    using Message = TrackpadProtocol::Message;
    using PeerPointer = std::shared_ptr<Peer>;

    struct DeviceScroll {
        TrackpadProtocol::ScrollSequencer sequencer;
        double lastScroll = 0;
        platform::Executor::TimerID idleTimer = 0;
    };

    // ListenerCore.cpp
    void startListening();
    void report(CompanionListener::State state);
    void reportServing();
    void onAdvertisement(const ServiceAdvertiser::State& state);
    void onPathUpdate(const PathStatus& status);
    void acceptConnections();
    void admit(SocketFD socket, const SocketAddress& remote);
    void onEstablished(ConnectionID id);
    void onReceived(ConnectionID id, std::span<const std::uint8_t> bytes);
    void closePeer(ConnectionID id, const std::string& reason);
    void onHandshakeTimeout(ConnectionID id);
    void armPairingExpiry();
    void rearmHandshakeTimers();
    void onPairingExpiry();
    Peer* peer(ConnectionID id);
    platform::Executor::TimerID after(double seconds, std::function<void(ListenerCore&)> task);
    void releaseLater(PeerPointer peer);

    // ListenerActions.cpp
    void handle(Peer& peer, const Message& message, TrackpadProtocol::Transport channel);
    void perform(Peer& peer, PairingCoordinator::Action& action);
    void noteProgress(Peer& peer, const Message& message, const PairingCoordinator::Action& action);
    void openSession(Peer& peer, const UUID& deviceID);
    void endSession(ConnectionID id);
    void onDatagram(DatagramFlows::FlowID flow, const SocketAddress& from,
                    std::span<const std::uint8_t> bytes);
    void deliver(const Message& message, const UUID& deviceID);
    void onScrollIdle(const UUID& deviceID);
    void finishScroll(const UUID& deviceID);
    void answerApps(Peer& peer, const Message& message, const UUID& deviceID);
    void answerUnlock(Peer& peer, const TrackpadProtocol::UnlockRequest& request, const UUID& deviceID);
    void answerVolume(Peer& peer, const Message& message, const UUID& deviceID);
    void requestScreenView(Peer& peer, const Message& message, const UUID& deviceID);
    ScreenViewLink makeLink(ConnectionID id, const UUID& deviceID);
    void sendOnLink(ConnectionID id, const UUID& deviceID, std::vector<Message> messages,
                    ScreenViewLink::Completion completion);
    // Frames and sends; messages that cannot be framed are skipped (and logged).
    void send(ConnectionID id, const std::vector<Message>& messages,
              TLSConnection::WriteCompletion completion = {});
    void send(ConnectionID id, const Message& message);
    // Runs `work` on the queue with the core, unless the core is gone by then.
    void onQueue(std::function<void(ListenerCore&)> work);

    const std::shared_ptr<PairingCoordinator> coordinator_;
    const CompanionListener::Configuration configuration_;
    platform::EventLoop& queue_;
    const Callbacks callbacks_;
    const CompanionListener::Services services_;
    const platform::Logger log_{"dev.quelmar.trackpad.mac", "listener"};

    bool running_ = false;
    std::optional<TrackpadProtocol::TLSIdentity> identity_;
    TrackpadProtocol::SSLContext tlsContext_;
    TrackpadProtocol::SSLContext dtlsContext_;
    SocketFD listeningSocket_;
    platform::EventLoop::WatchID acceptWatch_ = 0;
    std::unique_ptr<DatagramFlows> flows_;
    std::unique_ptr<ServiceAdvertiser> advertiser_;
    std::unique_ptr<PathMonitor> pathMonitor_;
    std::optional<CompanionListener::Details> details_;
    bool pathSatisfied_ = true;

    std::uint64_t nextConnection_ = 1;
    std::map<ConnectionID, PeerPointer> peers_;
    TrackpadProtocol::DatagramOpener opener_;
    std::unordered_map<std::uint64_t, ConnectionID> peerByKey_;
    std::unordered_map<UUID, DeviceScroll> scrolls_;
    platform::Executor::TimerID pairingExpiryTimer_ = 0;
};

}  // namespace CompanionNetwork
