#pragma once
// The gatekeeper between phones and the computer's services. It owns the trusted-device list, the
// pairing in progress (code, attempts, lockout, request rate), the session of each connection and the
// subscriptions of each connection, and decides for every message a phone sends what the listener does
// with it. It knows nothing of sockets: the listener feeds it messages and connection events and
// carries out what it answers.
//
// Thread: every call may come from any thread; the state sits behind one mutex. The application drives
// it from the listener's queue (the main EventLoop). Events go to the event handler after the mutex is
// released, on the thread of the call that caused them, in the order they happened.
//
// How the listener uses it:
// - For each message read from a connection, decide(connection, message, context) and carry out the
//   returned Action: first send `notices` (each on its own connection), then the action's kind; if
//   `openedSession` is set, install the connection's datagram key for that device; for each connection
//   in `endedSessions` drop its datagram key and the device's per-connection state (it stays open).
// - For each datagram opened on a connection's flow, decide() with context.channel = datagram.
// - After a decision, (re)arm one timer for secondsUntilPairingExpires() when it has a value, and call
//   expirePairing() when it fires, sending the notice it returns; arm again if it still has a value.
// - cancelPairing() for the user's cancel; forgetDevice() for the menu's forget, closing the connections
//   it returns; connectionClosed() whenever a connection goes away, however it ended.
// - The update calls return the connections to tell and the messages to send each of them.
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "network/PairingSecurity.h"
#include "network/PairingTypes.h"
#include "network/TrustedDevice.h"
#include "platform/Log.h"
#include "protocol/messages/Message.h"

namespace CompanionNetwork {

class PairingCoordinator {
  public:
    using Message = TrackpadProtocol::Message;
    using HostFeatures = TrackpadProtocol::HostFeatures;

    struct Configuration {
        double codeLifetime = 120;    // seconds a code stays valid
        int maxFailedAttempts = 3;    // wrong codes within failureWindow that lock pairing out
        double lockoutDuration = 30;  // seconds pairing requests are refused after that
        double failureWindow = 600;   // seconds a wrong code counts
        int maxPairingRequests = 10;  // pairing requests accepted within requestWindow
        double requestWindow = 60;
        HostFeatures features = HostFeatures::all;
    };

    using Clock = std::function<Date()>;
    using EventHandler = std::function<void(const PairingEvent&)>;

    // What the listener knows about the connection a message came from.
    struct ConnectionContext {
        // The channel the message arrived on. Datagrams need a session and carry only datagram messages.
        TrackpadProtocol::Transport channel = TrackpadProtocol::Transport::reliable;
        // The 32 bytes of the connection's TLS exporter "EXPORTER-vornelis-pairing" (empty context).
        // Needed for pairing requests; without it a pairing request is refused with `failed`.
        std::optional<TrackpadProtocol::Bytes32> pairingExporter;
    };

    // A message for a connection other than (or besides) the one being answered.
    struct Notice {
        ConnectionID connection;
        Message message;
        bool operator==(const Notice&) const = default;
    };

    // What an update call asks the listener to send: each message, in order, to each connection.
    struct Notification {
        std::vector<ConnectionID> connections;
        std::vector<Message> messages;
        bool operator==(const Notification&) const = default;
    };

    struct Action {
        // Send the message on the connection.
        struct Reply {
            Message message;
            bool operator==(const Reply&) const = default;
        };
        // Send the messages in order on the connection (possibly none).
        struct Replies {
            std::vector<Message> messages;
            bool operator==(const Replies&) const = default;
        };
        // Hand the message to onMessage for the device (scroll messages through its scroll sequencer).
        struct Deliver {
            Message message;
            UUID deviceID;
            bool operator==(const Deliver&) const = default;
        };
        // Deliver, then send the reply on the connection.
        struct DeliverAndReply {
            Message message;
            UUID deviceID;
            Message reply;
            bool operator==(const DeliverAndReply&) const = default;
        };
        // An app request for onAppRequest; its answer goes back on the connection.
        struct Answer {
            Message message;
            UUID deviceID;
            bool operator==(const Answer&) const = default;
        };
        // A screen-view or screenshot request for onScreenViewRequest with this connection's link.
        struct ScreenView {
            Message message;
            UUID deviceID;
            bool operator==(const ScreenView&) const = default;
        };
        // An unlock request for onUnlockRequest, with a new UnlockCancellation kept for the connection.
        struct Unlock {
            TrackpadProtocol::UnlockRequest request;
            UUID deviceID;
            bool operator==(const Unlock&) const = default;
        };
        // A volume request for onVolumeRequest; its status goes back on the connection.
        struct Volume {
            Message message;
            UUID deviceID;
            bool operator==(const Volume&) const = default;
        };
        // Drop the message.
        struct Ignore {
            bool operator==(const Ignore&) const = default;
        };
        // Close the connection (a phone sent what only the computer sends).
        struct Disconnect {
            bool operator==(const Disconnect&) const = default;
        };

        using Kind = std::variant<Reply, Replies, Deliver, DeliverAndReply, Answer, ScreenView, Unlock,
                                  Volume, Ignore, Disconnect>;

        Action() = default;
        template <class Case, class = std::enable_if_t<std::is_constructible_v<Kind, Case&&> &&
                                                       !std::is_same_v<std::decay_t<Case>, Action>>>
        Action(Case&& value) : kind(std::forward<Case>(value)) {}  // NOLINT(google-explicit-constructor)

        Kind kind{Ignore{}};
        // Messages for connections (possibly this one), to send before carrying out `kind`.
        std::vector<Notice> notices;
        // This connection now has a session for the device: install the datagram key exported from its
        // TLS session. Set again when a new session request replaces the session.
        std::optional<UUID> openedSession;
        // Connections (possibly this one) whose session this decision ended, because their phone paired
        // again with a new token. They stay open and may open a new session.
        std::vector<ConnectionID> endedSessions;

        template <class Case>
        const Case* as() const {
            return std::get_if<Case>(&kind);
        }
        template <class Case>
        bool is() const {
            return std::holds_alternative<Case>(kind);
        }
        bool operator==(const Action&) const = default;
    };

    struct ForgetResult {
        // The device's connections, which the listener closes.
        std::vector<ConnectionID> connections;
        // The reason the list could not be saved; the device is forgotten for this run all the same.
        std::optional<std::string> error;
    };

    // Loads the list through the store; with none stored, makes a new one (new host id, new TLS key)
    // and saves it at once. The host name is cut to 255 UTF-8 bytes on a character boundary.
    // Throws the store's TrustedDeviceStoreError for a list that is damaged or of a newer format (such a
    // list is never saved over), unreadable also when its TLS key is unusable; throws whatever saving a
    // new list throws.
    PairingCoordinator(std::shared_ptr<TrustedDeviceStore> store, std::string hostName,
                       Configuration configuration, Clock now,
                       std::shared_ptr<PairingSecurity> security = makeSystemPairingSecurity());
    ~PairingCoordinator();
    PairingCoordinator(const PairingCoordinator&) = delete;
    PairingCoordinator& operator=(const PairingCoordinator&) = delete;

    void setEventHandler(EventHandler handler);

    // What to do with one message from a phone. Never throws for anything a phone sends.
    Action decide(ConnectionID connection, const Message& message, const ConnectionContext& context);

    // The user cancelled the pairing in progress: outcome `cancelled`, and the notice of
    // pairingRejected(declined) for the phone. None (and no events) when nothing is pending.
    std::optional<Notice> cancelPairing();
    // Seconds until the pending code expires (0 when it already has), none without a pending pairing.
    std::optional<double> secondsUntilPairingExpires() const;
    // Ends a pending pairing whose code has expired (outcome `expired`) and returns the
    // pairingRejected(expired) notice for its phone; none when nothing has expired.
    std::optional<Notice> expirePairing();

    // The connection is gone: its session, subscriptions and pending pairing (outcome `disconnected`)
    // end. Returns the device whose session it had, if any.
    std::optional<UUID> connectionClosed(ConnectionID connection);
    // Removes the device from the list, saves it and ends the device's sessions. An unknown device
    // changes nothing.
    ForgetResult forgetDevice(const UUID& deviceID);

    // The stored values go out to the connections that asked for them (the control status to every
    // session). Callable before any connection exists; the result is then empty.
    Notification updateControlStatus(TrackpadProtocol::ControlStatus status);
    Notification updateNowPlaying(std::optional<TrackpadProtocol::NowPlaying> nowPlaying);
    Notification updateRunningApps(std::vector<TrackpadProtocol::MacApp> apps);
    Notification updateScreenLockStatus(TrackpadProtocol::ScreenLockStatus status);
    Notification updateVolumeStatus(TrackpadProtocol::VolumeStatus status);

    std::vector<TrustedDevice> trustedDevices() const;
    std::optional<PendingPairing> pendingPairing() const;
    // The connection the pending pairing belongs to.
    std::optional<ConnectionID> pairingConnection() const;
    // The device whose session the connection has.
    std::optional<UUID> sessionDevice(ConnectionID connection) const;
    std::vector<ConnectionID> sessionConnections(const UUID& deviceID) const;
    std::set<UUID> connectedDevices() const;
    TrackpadProtocol::Subscriptions subscriptions(ConnectionID connection) const;

    UUID hostID() const;
    Data tlsPrivateKey() const;
    const std::string& hostName() const { return hostName_; }
    const Configuration& configuration() const { return configuration_; }

  private:
    struct Pending;
    using Events = std::vector<PairingEvent>;

    void emit(Events& events);
    Action decideLocked(ConnectionID connection, const Message& message, const ConnectionContext& context,
                        Events& events);
    Action pairingRequest(ConnectionID connection, const Message::PairingRequest& request,
                          const ConnectionContext& context, Events& events);
    Action pairingResponse(ConnectionID connection, const Message::PairingResponse& response, Events& events);
    Action pairingCancel(ConnectionID connection, Events& events);
    Action sessionRequest(ConnectionID connection, const Message::SessionRequest& request, Events& events);
    Action subscribe(ConnectionID connection, TrackpadProtocol::Subscriptions wanted);

    Message challenge(Date now);
    std::optional<Notice> expireIfDue(Date now, Events& events);
    void finishPairing(PairingOutcome outcome, Events& events);
    int recentFailures(Date now);
    bool isLockedOut(Date now) const;
    // Ends every session of the device; returns their connections.
    std::vector<ConnectionID> endSessionsOf(const UUID& deviceID);
    void noteConnectedChange(const std::set<UUID>& before, Events& events) const;
    std::set<UUID> connectedLocked() const;
    std::vector<ConnectionID> subscribers(TrackpadProtocol::Subscriptions kind) const;
    std::vector<Message> runningAppsMessages() const;
    void saveLastConnected();

    const std::shared_ptr<TrustedDeviceStore> store_;
    const std::shared_ptr<PairingSecurity> security_;
    const std::string hostName_;
    const Configuration configuration_;
    const Clock now_;
    const platform::Logger logger_{"dev.quelmar.trackpad.mac", "pairing"};

    mutable std::mutex mutex_;
    EventHandler eventHandler_;
    TrustedDeviceList list_;
    std::unique_ptr<Pending> pending_;
    std::deque<Date> requestTimes_;  // pairing requests let through, within requestWindow
    std::deque<Date> failureTimes_;  // wrong codes, within failureWindow
    std::optional<Date> lockoutUntil_;
    std::map<ConnectionID, UUID> sessions_;
    std::map<ConnectionID, TrackpadProtocol::Subscriptions> subscriptions_;

    TrackpadProtocol::ControlStatus controlStatus_ = TrackpadProtocol::ControlStatus::ready;
    std::optional<TrackpadProtocol::NowPlaying> nowPlaying_;
    std::optional<std::vector<TrackpadProtocol::MacApp>> runningApps_;
    std::optional<TrackpadProtocol::ScreenLockStatus> screenLock_;
    std::optional<TrackpadProtocol::VolumeStatus> volume_;
};

}  // namespace CompanionNetwork
