#pragma once
// The companion's composition root: owns every service for the life of the process, publishes what the
// menu, the pairing panel and the notices show, starts and stops the services in a fixed order, keeps the
// listener up (retrying with a growing delay), and routes every phone message and request.
//
// Thread: the main queue (the executor's thread). The runtime lives in a shared_ptr; every closure it
// hands out holds it weakly, and callbacks from other threads hop to the main queue before touching it.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/core/AccessibilityPermission.h"
#include "app/core/CompanionPreferences.h"
#include "app/core/RuntimeNetwork.h"
#include "app/core/ShellTexts.h"
#include "network/InputOwnership.h"
#include "network/PairingProgress.h"
#include "platform/Executor.h"
#include "platform/FairScheduler.h"
#include "platform/NoticeBudget.h"
#include "platform/Published.h"
#include "services/CompanionServices.h"

namespace platform {
class DispatchQueue;
}

namespace Shell {

using CompanionNetwork::PairingEvent;
using CompanionNetwork::PairingProgress;
using CompanionNetwork::PendingPairing;
using CompanionNetwork::TrustedDeviceStoreError;
using TrackpadProtocol::Message;

struct OpenedAppNotice {
    std::string appName;
    bool operator==(const OpenedAppNotice&) const = default;
};

struct LastUnlock {
    UnlockReport report;
    Date date;
    bool operator==(const LastUnlock&) const = default;
};

// The connection notices' side of the runtime (shown by the user interface).
class ConnectionNotices {
  public:
    virtual ~ConnectionNotices() = default;
    virtual void connectionsChanged(const std::set<DeviceID>& connected,
                                    const std::vector<TrustedDevice>& trusted) = 0;
    // Cancels a pending dismissal, forgets what was seen and dismisses any notice.
    virtual void reset() = 0;
};

class CompanionRuntime : public std::enable_shared_from_this<CompanionRuntime> {
  public:
    using Task = std::function<void()>;

    struct Dependencies {
        platform::Executor& executor;
        RuntimeNetwork& network;
        AccessibilityPermission& permission;
        CompanionPreferences& preferences;
        CompanionServices services;
        // Runs app answers in order off the main queue; the default is a queue of the runtime's own.
        std::function<void(Task)> appWork;
        // The current wall-clock date.
        std::function<Date()> now;
        std::shared_ptr<ConnectionNotices> connectionNotices;
        // Excluded from the app lists: the companion's own desktop id and process.
        std::string ownBundleID = "dev.quelmar.trackpad.mac";
        std::optional<std::int32_t> ownProcessID;
    };

    static std::shared_ptr<CompanionRuntime> create(Dependencies dependencies);
    ~CompanionRuntime();
    CompanionRuntime(const CompanionRuntime&) = delete;
    CompanionRuntime& operator=(const CompanionRuntime&) = delete;

    // The pairing values every coordinator of this runtime gets.
    static CompanionNetwork::PairingCoordinator::Configuration pairingConfiguration();

    // Published state.
    platform::Published<std::optional<PendingPairing>> pendingPairing;
    platform::Published<PairingProgress> pairingProgress;
    platform::Published<std::set<DeviceID>> connectedDevices;
    platform::Published<std::vector<TrustedDevice>> trustedDevices;
    platform::Published<std::optional<std::string>> forgetError;
    platform::Published<std::string> status{std::string(Texts::starting)};
    platform::Published<bool> canRetry;
    platform::Published<std::optional<TrustedDeviceStoreError>> storeProblem;
    platform::Published<std::optional<std::filesystem::path>> storeBackupURL;
    platform::Published<std::optional<std::string>> storeResetError;
    platform::Published<std::optional<OpenedAppNotice>> openedApp;
    platform::Published<std::optional<LastUnlock>> lastUnlock;

    void start();
    void stop();
    bool isRunning() const { return shouldRun_; }

    // Brings the listener up, or restarts the one that exists.
    void startListener();
    // The menu's actions.
    void retry();
    void forget(const DeviceID& device);
    void resetTrustedDevices();
    void cancelPairing();
    // The pairing panel's dismissal: a finished pairing goes back to idle; true when it did.
    bool clearFinishedPairing();

    // The listener's callbacks (public for the tests, which drive them as the listener would).
    void handleMessage(const Message& message, const DeviceID& device);
    void handleCleanupMessage(const Message& message, const DeviceID& device);
    void handlePairingEvent(const PairingEvent& event);
    void listenerStateChanged(const CompanionNetwork::ListenerState& state);
    void answerAppRequest(const Message& message, const DeviceID& device,
                          CompanionNetwork::CompanionListener::AppReply reply);
    void handleScreenViewRequest(const Message& message, const CompanionNetwork::ScreenViewLink& link);
    void answerVolumeRequest(const Message& message, const DeviceID& device,
                             CompanionNetwork::CompanionListener::VolumeReply reply);
    void handleUnlockRequest(const TrackpadProtocol::UnlockRequest& request, const DeviceID& device,
                             std::shared_ptr<CompanionNetwork::UnlockCancellation> cancellation,
                             CompanionNetwork::CompanionListener::UnlockCompletion completion);

    // Read by the tests and the user interface.
    const std::optional<DeviceID>& controller() const { return ownership_.controller; }
    std::size_t unlockAttemptCount() const { return unlockAttempts_.size(); }
    bool hasListener() const { return listener_ != nullptr; }
    std::uint64_t retryDelay() const { return retryDelay_; }
    const std::optional<std::vector<TrackpadProtocol::MacApp>>& runningApps() const { return runningApps_; }
    const std::optional<TrackpadProtocol::NowPlaying>& nowPlaying() const { return nowPlaying_; }
    // The display name of an application for the notices: running name, installed name, else the id.
    std::string appDisplayName(const std::string& bundleID);

  private:
    explicit CompanionRuntime(Dependencies dependencies);
    void wire();

    // Start and stop.
    void permissionChanged(AccessibilityStatus status);
    void startNowPlayingFeed();
    std::shared_ptr<AppCatalogService> startAppCatalog();
    void listenerFailed(const std::string& message);
    void reportStoreProblem(const TrustedDeviceStoreError& error);
    void cancelRetry();
    ListenerCallbacks listenerCallbacks();

    // Routing and bookkeeping.
    void route(const Message& message, const DeviceID& device);
    void deliver(const Message& message, const DeviceID& device);
    void resetAnnotations();
    void resetInput();
    void trimToDevices(const DeviceSet& devices);
    void dropDevice(const DeviceID& device);
    void withdrawUnlockAttempts(const std::function<bool(const DeviceID&)>& matches);

    // Phones' requests for services wait in a short line per phone and are served in turn (Requests).
    using RequestScheduler = platform::FairScheduler<DeviceID>;
    // Hands `ticket` back to `scheduler` on the main queue once, from whatever thread the answer comes.
    std::function<void()> finisher(RequestScheduler CompanionRuntime::*scheduler,
                                   RequestScheduler::Ticket ticket);
    void openApp(const std::string& bundleID, CompanionNetwork::CompanionListener::AppReply reply,
                 std::function<void()> finished);
    CompanionNetwork::ScreenViewLink::Send screenViewSend(const CompanionNetwork::ScreenViewLink& link);
    // The screenshot's answer has begun to go out: it is made, and its place is free.
    void screenshotMade(const DeviceID& device, std::uint32_t number);
    // The connection has taken the whole answer (or the screen view could not take the request).
    void screenshotTaken(const DeviceID& device, std::uint32_t number);
    // The connection's session is gone and answers nothing more: its screenshots free their places.
    void screenViewEnded(CompanionNetwork::ConnectionID connection);
    void removeRequestsOf(const std::function<bool(const DeviceID&)>& leaves);

    // Feeds.
    void publishNowPlaying(std::optional<TrackpadProtocol::NowPlaying> value);
    void publishRunningApps(std::vector<TrackpadProtocol::MacApp> list);
    void finishUnlockAttempt(const CompanionNetwork::UnlockCancellation* attempt, LastUnlock last);
    // Runs `task` on the main queue with the runtime, if it still exists then.
    void onMain(std::function<void(CompanionRuntime&)> task);

    platform::Executor& executor_;
    RuntimeNetwork& network_;
    AccessibilityPermission& permission_;
    CompanionPreferences& preferences_;
    CompanionServices services_;
    std::function<void(Task)> appWork_;
    std::function<Date()> now_;
    std::shared_ptr<ConnectionNotices> connectionNotices_;
    std::string ownBundleID_;
    std::optional<std::int32_t> ownProcessID_;
    std::shared_ptr<platform::DispatchQueue> ownAppQueue_;

    std::shared_ptr<CoordinatorHandle> coordinator_;
    std::shared_ptr<ListenerHandle> listener_;
    CompanionNetwork::InputOwnership ownership_;
    bool shouldRun_ = false;
    platform::Executor::TimerID retryTimer_ = 0;
    std::uint64_t retryDelay_ = 1;
    std::shared_ptr<NowPlayingService> nowPlayingFeed_;
    std::optional<TrackpadProtocol::NowPlaying> nowPlaying_;
    std::shared_ptr<AppCatalogService> appCatalog_;
    std::optional<std::vector<TrackpadProtocol::MacApp>> runningApps_;
    struct UnlockAttempt {
        DeviceID device;
        std::shared_ptr<CompanionNetwork::UnlockCancellation> cancellation;
    };
    std::map<const CompanionNetwork::UnlockCancellation*, UnlockAttempt> unlockAttempts_;
    // Refusals a phone can cause at will, logged within a budget.
    platform::NoticeBudget unlockRefusalLines_{20, 10};
    // App lists and icons are answered one at a time on the app queue, launches one at a time, volume
    // requests one at a time by the sound server; two screenshots may be taken at once. An app answer
    // or launch under way for a phone that left still holds its place until it is done, so that the
    // app queues never hold more than the requests admitted.
    RequestScheduler appAnswers_{{1, 256, true}};  // a phone asks for every app's icon at once
    RequestScheduler appLaunches_{{1, 4, true}};
    RequestScheduler volumeRequests_{{1, 16}};
    // A screenshot holds its place while it is taken and encoded, work every phone shares. Its answer
    // is then its phone's to read: the phone's next screenshot waits until the connection has taken
    // it, so a phone that does not read holds up none but itself, and is owed one answer at most.
    RequestScheduler screenshots_{{.running = 2, .waitingPerClient = 32, .underWayPerClient = 1}};
    struct ScreenshotTicket {
        RequestScheduler::Ticket ticket;
        CompanionNetwork::ConnectionID connection;
    };
    std::map<std::pair<DeviceID, std::uint32_t>, ScreenshotTicket> screenshotTickets_;
    // The connections whose screen view has not ended: a screenshot waiting in line for one that ended
    // is dropped when its turn comes, and never reaches the screen view.
    std::set<CompanionNetwork::ConnectionID> screenViewConnections_;
    platform::Published<AccessibilityStatus>::Subscription permissionSubscription_;
    platform::Published<bool>::Subscription unlockConsentSubscription_;
};

}  // namespace Shell
