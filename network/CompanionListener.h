#pragma once
// The companion's network front: the TLS 1.3 listener for the reliable channel, the DTLS 1.2 listener
// for datagrams, their DNS-SD advertisement and the path monitor. Every connection gets a peer that
// reads its frames, asks the pairing coordinator what each message means and carries that out; every
// datagram is authenticated against the session of the connection its key belongs to. Services see
// only decoded messages and device ids, through the callbacks.
//
// Thread: everything runs on the EventLoop given at construction (the main queue). Every public call
// may come from any thread and hops there; every callback is called there.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "network/PairingTypes.h"
#include "network/ScreenViewLink.h"
#include "network/UnlockCancellation.h"
#include "platform/EventLoop.h"
#include "protocol/messages/Message.h"
#include "protocol/messages/Uuid.h"

namespace CompanionNetwork {

class PairingCoordinator;
class PathMonitor;
class ServiceAdvertiser;
class ListenerCore;

// What a ready listener tells: its service name, ports and host id, and why phones cannot find it by
// DNS-SD when they cannot (it serves all the same).
struct ListenerDetails {
    std::string serviceName;
    std::uint16_t tcpPort = 0;
    std::uint16_t udpPort = 0;
    TrackpadProtocol::UUID hostID;
    // The advertiser's last report of no daemon or a refused registration; none while advertised,
    // before the advertiser's first report, and for a loopback-only listener, which advertises nothing.
    std::optional<std::string> advertisementProblem;
    bool operator==(const ListenerDetails&) const = default;
};

// CompanionListener's state: ready (serving), waiting (no network), failed, setup, stopped.
struct ListenerState {
    struct Ready {
        ListenerDetails details;
        bool operator==(const Ready&) const = default;
    };
    struct Waiting {
        std::string reason;
        bool operator==(const Waiting&) const = default;
    };
    struct Failed {
        std::string reason;
        bool operator==(const Failed&) const = default;
    };
    struct Setup {
        bool operator==(const Setup&) const = default;
    };
    struct Stopped {
        bool operator==(const Stopped&) const = default;
    };
    std::variant<Ready, Waiting, Failed, Setup, Stopped> kind;

    template <class Case>
    const Case* as() const {
        return std::get_if<Case>(&kind);
    }
    template <class Case>
    bool is() const {
        return std::holds_alternative<Case>(kind);
    }
    bool operator==(const ListenerState&) const = default;
};

class CompanionListener {
  public:
    using Message = TrackpadProtocol::Message;
    using UUID = TrackpadProtocol::UUID;

    struct Configuration {
        std::string serviceName;
        std::uint16_t tcpPort = 0;  // 0: chosen by the system
        std::uint16_t udpPort = 0;
        // Listen on 127.0.0.1 only and advertise nothing (tests, tools).
        bool loopbackOnly = false;
        int maxConnections = 8;
        // Seconds a connection has to finish TLS and ask to pair or open a session.
        double handshakeTimeout = 10.0;
        // Seconds without scroll input after which a phone's open scroll is closed.
        double scrollIdleTimeout = 1.0;
        // Seconds a connection may take nothing of the data queued for it before it is closed.
        double writeStallTimeout = 30.0;
        // Hardware addresses advertised for wake-on-LAN.
        std::vector<std::string> wakeAddresses;

        // The defaults: the computer's name, system-chosen ports, every interface, 8 connections,
        // 10 s, 1 s, 30 s and the computer's Ethernet and Wi-Fi addresses.
        Configuration();
    };

    using Details = ListenerDetails;
    using State = ListenerState;

    using MessageHandler = std::function<void(const Message&, const UUID& deviceID)>;
    using StateHandler = std::function<void(const State&)>;
    // Sends the messages in order on the asking connection; callable once, from any thread.
    using AppReply = std::function<void(std::vector<Message>)>;
    using AppRequestHandler = std::function<void(const Message&, const UUID& deviceID, AppReply)>;
    using ScreenViewRequestHandler = std::function<void(const Message&, const ScreenViewLink&)>;
    using ScreenViewEndedHandler = std::function<void(ConnectionID)>;
    // Sends unlockResult on the asking connection; callable from any thread. Only the first call counts.
    using UnlockCompletion = std::function<void(TrackpadProtocol::UnlockResult)>;
    using UnlockRequestHandler =
        std::function<void(const TrackpadProtocol::UnlockRequest&, const UUID& deviceID,
                           std::shared_ptr<UnlockCancellation>, UnlockCompletion)>;
    // Sends volumeStatus on the asking connection; callable from any thread.
    using VolumeReply = std::function<void(TrackpadProtocol::VolumeStatus)>;
    using VolumeRequestHandler = std::function<void(const Message&, const UUID& deviceID, VolumeReply)>;
    // None on success, else why the list could not be saved.
    using ForgetCompletion = std::function<void(std::optional<std::string> error)>;

    // The system facilities the listener starts; the defaults are Avahi and rtnetlink on the queue.
    struct Services {
        std::function<std::unique_ptr<ServiceAdvertiser>()> makeAdvertiser;
        std::function<std::unique_ptr<PathMonitor>()> makePathMonitor;
    };

    // Stores everything; nothing runs until start(). The queue must outlive the listener and every
    // reply closure the listener handed out.
    CompanionListener(std::shared_ptr<PairingCoordinator> coordinator, Configuration configuration,
                      platform::EventLoop& queue, MessageHandler onMessage, MessageHandler onCleanup,
                      StateHandler onStateChange, AppRequestHandler onAppRequest,
                      ScreenViewRequestHandler onScreenViewRequest, ScreenViewEndedHandler onScreenViewEnded,
                      UnlockRequestHandler onUnlockRequest, VolumeRequestHandler onVolumeRequest,
                      Services services = {});
    // Closes everything without calling back.
    ~CompanionListener();
    CompanionListener(const CompanionListener&) = delete;
    CompanionListener& operator=(const CompanionListener&) = delete;

    // Both listeners, the advertisement and the path monitor, on the queue; progress goes to
    // onStateChange (setup, then ready or failed). While serving, ready is reported again whenever the
    // advertisement's problem changes. Starting a running listener does nothing.
    void start();
    // Closes the path monitor, both listeners, every connection and every flow, and reports stopped.
    // The listener can be started again.
    void stop();
    // Ends the pending pairing as cancelled; its phone is told pairingRejected(declined).
    void cancelPairing();
    // Forgets the device, closes its connections and ends its per-device state.
    void forgetDevice(const UUID& deviceID, ForgetCompletion completion);

    void updateControlStatus(TrackpadProtocol::ControlStatus status);
    void updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus status);
    void updateVolumeStatus(TrackpadProtocol::VolumeStatus status);
    void updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying> nowPlaying);
    void updateRunningApps(std::vector<TrackpadProtocol::MacApp> apps);

  private:
    void onQueue(std::function<void(ListenerCore&)> work);

    platform::EventLoop& queue_;
    std::shared_ptr<ListenerCore> core_;
};

}  // namespace CompanionNetwork
