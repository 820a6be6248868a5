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

#include "network/CompanionListener.h"
#include "network/ConnectionNotices.h"
#include "network/DatagramFlows.h"
#include "network/PairingCoordinator.h"
#include "network/PathMonitor.h"
#include "network/Peer.h"
#include "network/ServiceAdvertiser.h"
#include "network/ServiceAnswers.h"
#include "network/Sockets.h"
#include "platform/Log.h"
#include "protocol/input/StrokeSequencers.h"
#include "protocol/security/DatagramOpener.h"
#include "protocol/security/TLSContext.h"
#include "protocol/security/TLSIdentity.h"

namespace CompanionNetwork {

class ListenerCore : public std::enable_shared_from_this<ListenerCore> {
  public:
    // Backpressure: a connection whose unsent answers cost more than this is not read until the phone
    // has taken some. Small for a connection without a session (its answers are a few bytes each);
    // with one, room for pushed documents and the socket's own buffers, short of the queue's cap.
    static constexpr std::size_t unpairedReadLimit = 32u * 1024u;
    static constexpr std::size_t sessionReadLimit = 16u * 1024u * 1024u;
    // A connection that sends this many unusable frames within the window is closed, whatever good
    // frames come between them.
    static constexpr int maxBadFrames = 10;
    static constexpr double badFrameWindow = 60;
    // With every connection in use, a new one takes the place of the oldest that has neither a session
    // nor the pairing in progress, once that one has had this long (at most the handshake timeout) to
    // show what it is.
    static constexpr double evictionGrace = 2;
    // Connections without a session from one host at once: a host that opens sockets as fast as they
    // close takes the place of its own, never every slot.
    static constexpr int maxUnpairedPerHost = 2;

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
    // Closes the oldest connection (of `host` only, when given) that may make room for a new one from
    // `remote`; false when none may.
    bool evictForNewConnection(const SocketAddress& remote, const std::string* host = nullptr);
    // Whether a new connection from `remote` may be admitted, making room for it when it must.
    bool makeRoomFor(const SocketAddress& remote);
    // With every slot in use and no connection that may make room yet, but some that will once their
    // grace is over: the seconds until the first of them may. None when there is room, or when every
    // slot holds a session or the pairing.
    std::optional<double> timeUntilRoom() const;
    // New connections wait in the system's queue, in the order they came, until `seconds` have passed
    // or a connection closes.
    void holdAccepts(double seconds);
    void resumeAccepts();
    void onBadFrame(ConnectionID id, const TrackpadProtocol::FrameDecoder::BadFrame& bad);
    // Log lines others can cause go through the budget of their host and the listener's.
    void peerNotice(Peer& peer, platform::LogLevel level, const std::string& text);
    void listenerNotice(platform::LogLevel level, const std::string& text, const std::string& host = {});
    // Tells what the budget held back once its window is over, even when no line comes after it.
    void armNoticeFlush();
    void flushNotices(double now);
    // Runs `work` (a callback into the application, or work on a phone's behalf); an exception from it
    // is logged and ends there. False when it threw.
    template <class Work>
    bool guarded(const char* what, ConnectionID id, Work&& work) noexcept {
        try {
            work();
            return true;
        } catch (const std::exception& error) {
            reportFault(what, id, error.what());
        } catch (...) {
            reportFault(what, id, "an unknown exception");
        }
        return false;
    }
    void reportFault(const char* what, ConnectionID id, const char* error) noexcept;
    platform::Executor::TimerID after(double seconds, std::function<void(ListenerCore&)> task);
    void releaseLater(PeerPointer peer);

    // ListenerActions.cpp
    void handle(Peer& peer, const Message& message, TrackpadProtocol::Transport channel);
    void perform(Peer& peer, PairingCoordinator::Action& action);
    void noteProgress(Peer& peer, const Message& message, const PairingCoordinator::Action& action);
    void openSession(Peer& peer, const UUID& deviceID);
    void endSession(ConnectionID id);
    // Tells the screen-view host that the connection's view is over, when it had one.
    void endScreenView(Peer& peer);
    void onDatagram(DatagramFlows::FlowID flow, const SocketAddress& from,
                    std::span<const std::uint8_t> bytes);
    void deliver(const Message& message, const UUID& deviceID);
    void onScrollIdle(const UUID& deviceID);
    void finishScroll(const UUID& deviceID);
    void answerUnserved(ConnectionID id, const Message& request, ServiceFault fault);
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
    bool acceptsHeld_ = false;
    platform::Executor::TimerID acceptsResumeTimer_ = 0;
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
    ConnectionNotices notices_;
    platform::Executor::TimerID noticeFlushTimer_ = 0;
};

}  // namespace CompanionNetwork
