#pragma once
// The tagged union of everything phone and computer exchange: 51 cases, each a small struct nested in
// Message. Values compare by structure (same case, equal payloads).
#include <memory>
#include <string>
#include <variant>

#include "protocol/messages/Secrets.h"
#include "protocol/messages/Types.h"

namespace TrackpadProtocol {

inline constexpr int version = 1;

struct Message;

// Holds a Message on the heap with value semantics (a positioned message wraps another message).
// Moving leaves the source without a message of its own; it then reads as the default Message, a case
// that no reader of a positioned message acts on (the codec refuses it, the sequencers skip it), so a
// moved-from box can be read, copied, compared and encoded without harm.
class BoxedMessage {
  public:
    BoxedMessage(const Message& message);  // NOLINT(google-explicit-constructor)
    BoxedMessage(Message&& message);       // NOLINT(google-explicit-constructor)
    BoxedMessage(const BoxedMessage& other);
    BoxedMessage(BoxedMessage&&) noexcept = default;
    BoxedMessage& operator=(const BoxedMessage& other);
    BoxedMessage& operator=(BoxedMessage&&) noexcept = default;
    ~BoxedMessage();

    const Message& operator*() const {
        if (value_)
            return *value_;
        return emptyMessage();
    }
    const Message* operator->() const { return &**this; }
    friend bool operator==(const BoxedMessage& a, const BoxedMessage& b);

  private:
    static const Message& emptyMessage();

    std::unique_ptr<Message> value_;
};

struct Message {
    // Pairing and sessions
    struct PairingRequest {
        UUID deviceID;
        std::string deviceName;
        bool operator==(const PairingRequest&) const = default;
    };
    // The computer's CPace share, sent again with a fresh session id and share after each wrong code.
    struct PairingChallenge {
        UUID hostID;
        std::string hostName;
        Bytes16 sessionID{};
        Bytes32 share{};
        std::uint8_t attemptsLeft = 0;
        bool operator==(const PairingChallenge&) const = default;
    };
    struct PairingResponse {
        Bytes32 share{};
        Bytes32 confirmation{};
        bool operator==(const PairingResponse&) const = default;
    };
    struct PairingAccepted {
        SecretBytes<32> token;  // wiped with the message
        Bytes32 confirmation{};
        bool operator==(const PairingAccepted&) const = default;
    };
    struct PairingRejected {
        PairingRejection reason = PairingRejection::notPaired;
        bool operator==(const PairingRejected&) const = default;
    };
    struct PairingCancel {
        bool operator==(const PairingCancel&) const = default;
    };
    struct SessionRequest {
        UUID deviceID;
        SecretBytes<32> token;  // wiped with the message
        bool wantsFeatures = false;
        bool operator==(const SessionRequest&) const = default;
    };
    struct SessionAccepted {
        std::optional<HostFeatures> features;
        bool operator==(const SessionAccepted&) const = default;
    };
    struct Probe {
        std::uint32_t number = 0;
        bool viaDatagram = false;
        bool operator==(const Probe&) const = default;
    };
    struct ProbeReply {
        std::uint32_t number = 0;
        bool viaDatagram = false;
        bool operator==(const ProbeReply&) const = default;
    };
    struct Subscribe {
        Subscriptions subscriptions;
        bool operator==(const Subscribe&) const = default;
    };
    struct Unsubscribe {
        Subscriptions subscriptions;
        bool operator==(const Unsubscribe&) const = default;
    };
    struct ControlStatus {
        ::TrackpadProtocol::ControlStatus status = ::TrackpadProtocol::ControlStatus::ready;
        bool operator==(const ControlStatus&) const = default;
    };
    struct ScreenLockStatus {
        ::TrackpadProtocol::ScreenLockStatus status = ::TrackpadProtocol::ScreenLockStatus::unlocked;
        bool operator==(const ScreenLockStatus&) const = default;
    };

    // Input
    struct Move {
        float dx = 0;
        float dy = 0;
        bool operator==(const Move&) const = default;
    };
    // The tap's number within the phone's tap sequence; 0 is treated as 1.
    struct Tap {
        std::uint8_t clickCount = 1;
        bool operator==(const Tap&) const = default;
    };
    struct Drag {
        DragPhase phase = DragPhase::began;
        float dx = 0;
        float dy = 0;
        bool operator==(const Drag&) const = default;
    };
    struct Scroll {
        float dx = 0;
        float dy = 0;
        ScrollPhase phase = ScrollPhase::changed;
        std::optional<ScrollStamp> stamp;
        bool operator==(const Scroll&) const = default;
    };
    struct RightClick {
        bool operator==(const RightClick&) const = default;
    };
    // The inner message is a move, tap, drag or right click.
    struct Positioned {
        BoxedMessage message;
        PointerStamp stamp;
        bool operator==(const Positioned&) const = default;
    };
    struct Gesture {
        ::TrackpadProtocol::Gesture gesture;
        bool operator==(const Gesture&) const = default;
    };
    struct KeyCombination {
        ::TrackpadProtocol::KeyCombination combination;
        bool operator==(const KeyCombination&) const = default;
    };
    struct Text {
        std::string text;
        bool operator==(const Text&) const = default;
    };
    struct MediaCommand {
        ::TrackpadProtocol::MediaCommand command = ::TrackpadProtocol::MediaCommand::playPause;
        bool operator==(const MediaCommand&) const = default;
    };
    struct QuickAction {
        ::TrackpadProtocol::QuickAction action = ::TrackpadProtocol::QuickAction::spotlight;
        bool operator==(const QuickAction&) const = default;
    };

    // Overlays
    struct Annotation {
        ::TrackpadProtocol::Annotation annotation;
        bool operator==(const Annotation&) const = default;
    };
    struct PresentationImage {
        ::TrackpadProtocol::PresentationImage image;
        bool operator==(const PresentationImage&) const = default;
    };

    // Screen view and screenshots
    struct ScreenDisplaysRequest {
        bool operator==(const ScreenDisplaysRequest&) const = default;
    };
    // At most 32 displays on the wire.
    struct ScreenDisplays {
        static constexpr std::size_t maxDisplays = 32;
        std::vector<ScreenDisplay> displays;
        bool operator==(const ScreenDisplays&) const = default;
    };
    struct ScreenViewStart {
        ScreenViewRequest request;
        bool operator==(const ScreenViewStart&) const = default;
    };
    struct ScreenViewSelectDisplay {
        std::uint32_t displayID = 0;
        bool operator==(const ScreenViewSelectDisplay&) const = default;
    };
    struct ScreenViewStop {
        bool operator==(const ScreenViewStop&) const = default;
    };
    struct ScreenViewStatus {
        ::TrackpadProtocol::ScreenViewStatus status;
        bool operator==(const ScreenViewStatus&) const = default;
    };
    struct ScreenVideo {
        ScreenDataPart part;
        bool operator==(const ScreenVideo&) const = default;
    };
    struct ScreenshotRequest {
        ::TrackpadProtocol::ScreenshotRequest request;
        bool operator==(const ScreenshotRequest&) const = default;
    };
    struct Screenshot {
        ScreenDataPart part;
        bool operator==(const Screenshot&) const = default;
    };

    // Apps
    struct AppsRequest {
        AppListKind kind = AppListKind::running;
        bool operator==(const AppsRequest&) const = default;
    };
    struct RunningApps {
        AppListPart part;
        bool operator==(const RunningApps&) const = default;
    };
    struct InstalledApps {
        AppListPart part;
        bool operator==(const InstalledApps&) const = default;
    };
    struct AppIconRequest {
        ::TrackpadProtocol::AppIconRequest request;
        bool operator==(const AppIconRequest&) const = default;
    };
    struct AppIcon {
        ::TrackpadProtocol::AppIcon icon;
        bool operator==(const AppIcon&) const = default;
    };
    struct OpenApp {
        std::string bundleID;
        bool operator==(const OpenApp&) const = default;
    };
    struct OpenAppResult {
        ::TrackpadProtocol::OpenAppResult result;
        bool operator==(const OpenAppResult&) const = default;
    };

    // Volume and now playing
    struct SetVolume {
        std::uint8_t level = 0;  // percent; above 100 is applied as 100
        bool operator==(const SetVolume&) const = default;
    };
    struct SetMute {
        bool muted = false;
        bool operator==(const SetMute&) const = default;
    };
    struct VolumeStatusRequest {
        bool operator==(const VolumeStatusRequest&) const = default;
    };
    struct VolumeStatus {
        ::TrackpadProtocol::VolumeStatus status;
        bool operator==(const VolumeStatus&) const = default;
    };
    struct NowPlaying {
        ::TrackpadProtocol::NowPlaying nowPlaying;
        bool operator==(const NowPlaying&) const = default;
    };
    struct NowPlayingUnavailable {
        bool operator==(const NowPlayingUnavailable&) const = default;
    };

    // Unlock
    struct UnlockRequest {
        ::TrackpadProtocol::UnlockRequest request;
        bool operator==(const UnlockRequest&) const = default;
    };
    struct UnlockResult {
        ::TrackpadProtocol::UnlockResult result;
        bool operator==(const UnlockResult&) const = default;
    };

    using Value = std::variant<
        // pairing and sessions (14)
        PairingRequest, PairingChallenge, PairingResponse, PairingAccepted, PairingRejected, PairingCancel,
        SessionRequest, SessionAccepted, Probe, ProbeReply, Subscribe, Unsubscribe, ControlStatus,
        ScreenLockStatus,
        // input (13)
        Move, Tap, Drag, Scroll, RightClick, Positioned, Gesture, KeyCombination, Text, MediaCommand,
        QuickAction, Annotation, PresentationImage,
        // screen (9)
        ScreenDisplaysRequest, ScreenDisplays, ScreenViewStart, ScreenViewSelectDisplay, ScreenViewStop,
        ScreenViewStatus, ScreenVideo, ScreenshotRequest, Screenshot,
        // apps (7)
        AppsRequest, RunningApps, InstalledApps, AppIconRequest, AppIcon, OpenApp, OpenAppResult,
        // volume and now playing (6)
        SetVolume, SetMute, VolumeStatusRequest, VolumeStatus, NowPlaying, NowPlayingUnavailable,
        // unlock (2)
        UnlockRequest, UnlockResult>;

    Value value;

    // The special members are defined once, in Message.cpp, so that the variant's copy, move, destroy
    // and compare code for 51 cases is not generated again in every file that passes messages around.
    Message();
    Message(const Message& other);
    Message(Message&& other) noexcept;
    Message& operator=(const Message& other);
    Message& operator=(Message&& other) noexcept;
    ~Message();
    template <class Case, class = std::enable_if_t<std::is_constructible_v<Value, Case&&> &&
                                                   !std::is_same_v<std::decay_t<Case>, Message>>>
    Message(Case&& payload) : value(std::forward<Case>(payload)) {}  // NOLINT(google-explicit-constructor)

    template <class Case>
    bool is() const {
        return std::holds_alternative<Case>(value);
    }
    template <class Case>
    const Case* as() const {
        return std::get_if<Case>(&value);
    }

    // The channel the message travels on: datagram for move, drag(changed), a scroll whose phase is not
    // final, datagram probes, annotation updates and the changed phase of pinch and swipe-tracking
    // gestures; a positioned message travels like its inner message, except that a stamp with sequence
    // 0 makes it reliable; everything else is reliable.
    Transport transport() const;

    // A readable description; an unlock request shows its password as "<redacted>".
    std::string description() const;

    bool operator==(const Message& other) const;
};

static_assert(std::variant_size_v<Message::Value> == 51);

}  // namespace TrackpadProtocol
