#pragma once
// Payload types of the messages exchanged between phone and computer.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/OptionSet.h"
#include "protocol/messages/Uuid.h"

namespace TrackpadProtocol {

using Data = std::vector<std::uint8_t>;
using Bytes16 = std::array<std::uint8_t, 16>;
using Bytes32 = std::array<std::uint8_t, 32>;

enum class Transport : std::uint8_t { datagram, reliable };

// ---- Input ----------------------------------------------------------------------------------------

enum class DragPhase : std::uint8_t { began = 0, changed = 1, ended = 2 };
enum class GesturePhase : std::uint8_t { began, changed, ended };
enum class ScrollPhase : std::uint8_t { began = 0, changed = 1, ended = 2, momentum = 3, momentumEnded = 4 };
// True for the phases that close a scroll: ended and momentumEnded.
constexpr bool isFinal(ScrollPhase phase) {
    return phase == ScrollPhase::ended || phase == ScrollPhase::momentumEnded;
}
enum class SwipeDirection : std::uint8_t { left, right, up, down };
enum class QuickAction : std::uint8_t { spotlight, lockScreen, sleep };

enum class MediaCommand : std::uint8_t {
    playPause = 0,
    next = 1,
    previous = 2,
    volumeUp = 3,
    volumeDown = 4,
    mute = 5,
    brightnessUp = 6,
    brightnessDown = 7,
};
// None outside 0...7.
constexpr std::optional<MediaCommand> mediaCommandFromRaw(std::uint8_t raw) {
    if (raw > 7) return std::nullopt;
    return static_cast<MediaCommand>(raw);
}

// The stamp of a positioned message: the phone's pointer session, the message's sequence in it (0 marks
// the session's start), the sequence of the last reliable positioned message sent before it, and the
// phone's running sum of the pointer's travel in the session.
struct PointerStamp {
    UUID session;
    std::uint64_t sequence = 0;
    std::uint64_t boundary = 0;
    double x = 0;
    double y = 0;
    bool operator==(const PointerStamp&) const = default;
};

// Stamps of streamed scroll, pinch and swipe input: a stroke number, new for every gesture, and the
// message's sequence within the stroke, counted from 1. Strokes compare in serial-number arithmetic.
struct StrokeStamp {
    std::uint32_t stroke = 0;
    std::uint32_t sequence = 0;
    bool operator==(const StrokeStamp&) const = default;
};
struct ScrollStamp : StrokeStamp {
    bool operator==(const ScrollStamp&) const = default;
};
struct PinchStamp : StrokeStamp {
    bool operator==(const PinchStamp&) const = default;
};
struct SwipeStamp : StrokeStamp {
    bool operator==(const SwipeStamp&) const = default;
};

// The first alternative of each payload variant below is defined outside its enclosing type: a nested
// type's member initializers are not usable before the enclosing type is complete, which would leave the
// variant (and so the enclosing type) without a default constructor.
namespace detail {
struct GestureSwipe {
    std::uint8_t fingers = 0;
    SwipeDirection direction = SwipeDirection::left;
    bool operator==(const GestureSwipe&) const = default;
};
struct KeyCode {
    std::uint16_t code = 0;  // a virtual key code
    bool operator==(const KeyCode&) const = default;
};
}  // namespace detail

struct Gesture {
    using Swipe = detail::GestureSwipe;
    // magnification is the change since the previous pinch message.
    struct Pinch {
        GesturePhase phase = GesturePhase::began;
        float magnification = 0;
        std::optional<PinchStamp> stamp;
        bool operator==(const Pinch&) const = default;
    };
    // dx and dy are the finger travel since the previous message; y grows downwards.
    struct SwipeTracking {
        GesturePhase phase = GesturePhase::began;
        std::uint8_t fingers = 0;
        float dx = 0;
        float dy = 0;
        std::optional<SwipeStamp> stamp;
        bool operator==(const SwipeTracking&) const = default;
    };
    struct Tap {
        std::uint8_t fingers = 0;
        bool operator==(const Tap&) const = default;
    };
    std::variant<Swipe, Pinch, SwipeTracking, Tap> kind;
    bool operator==(const Gesture&) const = default;
};

struct KeyCombination {
    struct Modifiers : OptionSet<Modifiers, std::uint8_t> {
        using OptionSet::OptionSet;
        static const Modifiers command, shift, option, control;
        static constexpr std::uint8_t allBits = 0x0F;
    };
    using Code = detail::KeyCode;
    struct Character {
        std::string character;  // one character, UTF-8
        bool operator==(const Character&) const = default;
    };
    std::variant<Code, Character> key;
    Modifiers modifiers;
    bool operator==(const KeyCombination&) const = default;
};
inline constexpr KeyCombination::Modifiers KeyCombination::Modifiers::command{0x01};
inline constexpr KeyCombination::Modifiers KeyCombination::Modifiers::shift{0x02};
inline constexpr KeyCombination::Modifiers KeyCombination::Modifiers::option{0x04};
inline constexpr KeyCombination::Modifiers KeyCombination::Modifiers::control{0x08};

// ---- Annotations and presentation images ------------------------------------------------------------

// Normalized 0...1 of the display; y is measured from the top edge.
struct AnnotationPoint {
    float x = 0;
    float y = 0;
    bool operator==(const AnnotationPoint&) const = default;
};

struct AnnotationColor {
    std::uint8_t red = 255;
    std::uint8_t green = 59;
    std::uint8_t blue = 48;
    static const AnnotationColor standard;
    bool operator==(const AnnotationColor&) const = default;
};
inline constexpr AnnotationColor AnnotationColor::standard{255, 59, 48};

enum class AnnotationTool : std::uint8_t { pen, arrow, box, spotlight };

namespace detail {
struct AnnotationBegin {
    std::uint16_t stroke = 0;
    AnnotationTool tool = AnnotationTool::pen;
    AnnotationPoint point;
    bool operator==(const AnnotationBegin&) const = default;
};
}  // namespace detail

struct Annotation {
    using Begin = detail::AnnotationBegin;
    struct Update {
        std::uint16_t stroke = 0;
        std::uint16_t sequence = 0;
        AnnotationPoint point;
        bool operator==(const Update&) const = default;
    };
    struct End {
        std::uint16_t stroke = 0;
        AnnotationPoint point;
        bool operator==(const End&) const = default;
    };
    struct Undo {
        std::uint16_t stroke = 0;
        bool operator==(const Undo&) const = default;
    };
    struct Color {
        AnnotationColor color;
        bool operator==(const Color&) const = default;
    };
    struct Clear {
        bool operator==(const Clear&) const = default;
    };
    std::variant<Begin, Update, End, Undo, Color, Clear> kind;
    bool operator==(const Annotation&) const = default;
};

// One part of a large payload: at most 61440 bytes, at most 256 parts per transfer.
struct ScreenDataPart {
    static constexpr std::size_t maxBytes = 61440;
    static constexpr std::size_t maxParts = 256;
    static constexpr std::size_t maxDocumentBytes = maxBytes * maxParts;  // 15728640

    std::uint32_t transfer = 0;
    std::uint16_t part = 0;  // index from 0
    std::uint16_t partCount = 0;
    Data bytes;
    bool operator==(const ScreenDataPart&) const = default;
};

// A centre and a size as fractions of the display; valid when the centre is finite within 0...1 and
// width and height are finite within 0.01...4.0.
struct PresentationImagePlacement {
    AnnotationPoint center;
    float width = 1;
    float height = 1;
    bool isValid() const;
    bool operator==(const PresentationImagePlacement&) const = default;
};

struct PresentationImage {
    struct Part {
        ScreenDataPart part;
        bool operator==(const Part&) const = default;
    };
    // `image` is the transfer number of the picture's parts.
    struct Place {
        std::uint32_t image = 0;
        PresentationImagePlacement placement;
        bool operator==(const Place&) const = default;
    };
    struct Fit {
        std::uint32_t image = 0;
        bool operator==(const Fit&) const = default;
    };
    struct Close {
        bool operator==(const Close&) const = default;
    };
    std::variant<Part, Place, Fit, Close> kind;
    bool operator==(const PresentationImage&) const = default;
};

// ---- Screen view --------------------------------------------------------------------------------------

enum class ScreenVideoCodec : std::uint8_t { h264, hevc };

struct ScreenVideoCodecs : OptionSet<ScreenVideoCodecs, std::uint8_t> {
    using OptionSet::OptionSet;
    using OptionSet::contains;
    static const ScreenVideoCodecs h264, hevc;
    static constexpr std::uint8_t allBits = 0x03;
    constexpr bool contains(ScreenVideoCodec codec) const {
        return (rawValue & (codec == ScreenVideoCodec::h264 ? 1u : 2u)) != 0;
    }
};
inline constexpr ScreenVideoCodecs ScreenVideoCodecs::h264{1};
inline constexpr ScreenVideoCodecs ScreenVideoCodecs::hevc{2};

struct ScreenViewRequest {
    std::uint32_t displayID = 0;
    std::uint16_t maxPixelLength = 0;  // 64...8192
    std::uint8_t framesPerSecond = 0;  // 1...120
    ScreenVideoCodecs codecs;          // not empty
    bool operator==(const ScreenViewRequest&) const = default;
};

struct ScreenshotRequest {
    std::uint32_t number = 0;  // echoed as the transfer number of the answer's parts
    std::uint32_t displayID = 0;
    std::uint16_t maxPixelLength = 0;  // 64...8192
    bool operator==(const ScreenshotRequest&) const = default;
};

struct ScreenViewStatus {
    enum class State : std::uint8_t { showing, stopped, screenRecordingRequired, displayUnavailable, failed };
    State state = State::stopped;
    std::optional<std::uint32_t> displayID;  // an absent id travels as 0
    bool operator==(const ScreenViewStatus&) const = default;
};

struct ScreenDisplay {
    struct Traits : OptionSet<Traits, std::uint8_t> {
        using OptionSet::OptionSet;
        static const Traits main, builtIn, containsPointer;
        static constexpr std::uint8_t allBits = 0x07;
    };
    std::uint32_t id = 0;
    std::string name;  // at most 255 UTF-8 bytes on the wire
    std::uint16_t pixelWidth = 0;
    std::uint16_t pixelHeight = 0;
    Traits traits;
    bool operator==(const ScreenDisplay&) const = default;
};
inline constexpr ScreenDisplay::Traits ScreenDisplay::Traits::main{1};
inline constexpr ScreenDisplay::Traits ScreenDisplay::Traits::builtIn{2};
inline constexpr ScreenDisplay::Traits ScreenDisplay::Traits::containsPointer{4};

// ---- Apps ---------------------------------------------------------------------------------------------

enum class AppListKind : std::uint8_t { running, installed };

struct MacApp {
    struct State : OptionSet<State, std::uint8_t> {
        using OptionSet::OptionSet;
        static const State active, hidden;
        static constexpr std::uint8_t allBits = 0x03;
    };
    std::string bundleID;
    std::string name;
    State state;
    bool operator==(const MacApp&) const = default;
};
inline constexpr MacApp::State MacApp::State::active{0x01};
inline constexpr MacApp::State MacApp::State::hidden{0x02};

struct AppListPart {
    std::vector<MacApp> apps;
    std::uint16_t part = 0;  // index from 0
    std::uint16_t partCount = 1;
    bool operator==(const AppListPart&) const = default;

    // Cuts the list in order into consecutive parts whose encoded message stays within `budget` bytes
    // (budgets above 65535 count as 65535). An empty list gives one part without apps. Throws
    // MessageCodec::EncodingError::appListTooLarge when one app does not fit a part on its own or when
    // 65536 parts or more would be needed.
    static std::vector<AppListPart> split(const std::vector<MacApp>& apps, std::size_t budget);
};

struct AppIconRequest {
    std::string bundleID;
    std::uint16_t pixelSize = 0;
    bool operator==(const AppIconRequest&) const = default;
};

struct AppIcon {
    std::string bundleID;
    std::optional<Data> image;  // PNG; never empty when present

    AppIcon() = default;
    AppIcon(std::string bundleID, std::optional<Data> image);
    bool operator==(const AppIcon&) const = default;
};

struct OpenAppResult {
    enum class Status : std::uint8_t { opened, notInstalled, failed };
    std::string bundleID;
    Status status = Status::failed;
    bool operator==(const OpenAppResult&) const = default;
};

// ---- Now playing and volume -------------------------------------------------------------------------

struct NowPlaying {
    std::string title;
    std::string artist;
    std::optional<Data> artwork;  // never empty when present

    NowPlaying() = default;
    NowPlaying(std::string title, std::string artist, std::optional<Data> artwork);
    bool operator==(const NowPlaying&) const = default;
};

struct VolumeStatus {
    std::uint8_t level = 0;  // 0...100, percent
    bool isMuted = false;
    bool isSupported = false;
    bool operator==(const VolumeStatus&) const = default;

    static const VolumeStatus unsupported;
    // NaN and values at or below 0 give 0, at or above 1 give 100, otherwise the scalar times 100
    // rounded to the nearest integer, halves away from zero.
    static std::uint8_t percentLevel(double scalar);
};
inline constexpr VolumeStatus VolumeStatus::unsupported{0, false, false};

// ---- Unlock, status, pairing and sessions -------------------------------------------------------------

struct UnlockRequest {
    static constexpr std::size_t maxPasswordBytes = 255;
    std::uint32_t number = 0;
    std::string password;
    // Wipes the password's whole buffer. Declaring it leaves the request without a move: a moved-from
    // short string would keep the password's bytes in its inline buffer, so a request is copied instead,
    // and every copy wipes itself.
    ~UnlockRequest();
    // 1...255 UTF-8 bytes, valid UTF-8, and no control character.
    bool hasValidPassword() const;
    // Never shows the password.
    std::string description() const;
    bool operator==(const UnlockRequest&) const = default;
};

struct UnlockResult {
    enum class Status : std::uint8_t {
        unlocked,
        stillLocked,
        notLocked,
        notAllowed,
        accessibilityRequired,
        busy,
        cannotType,
        notReached,
    };
    std::uint32_t number = 0;
    Status status = Status::notAllowed;
    bool operator==(const UnlockResult&) const = default;
};
const char* toString(UnlockResult::Status status);

enum class ScreenLockStatus : std::uint8_t { locked, unlocked };
enum class ControlStatus : std::uint8_t { ready, accessibilityRequired };

struct HostFeatures : OptionSet<HostFeatures, std::uint32_t> {
    using OptionSet::OptionSet;
    static const HostFeatures annotations, apps, screenView, annotationUndo, presentationImages, unlock, volume,
        screenLock, annotationColors, all;
};
inline constexpr HostFeatures HostFeatures::annotations{1u << 0};
inline constexpr HostFeatures HostFeatures::apps{1u << 1};
inline constexpr HostFeatures HostFeatures::screenView{1u << 2};
inline constexpr HostFeatures HostFeatures::annotationUndo{1u << 3};
inline constexpr HostFeatures HostFeatures::presentationImages{1u << 4};
inline constexpr HostFeatures HostFeatures::unlock{1u << 5};
inline constexpr HostFeatures HostFeatures::volume{1u << 6};
inline constexpr HostFeatures HostFeatures::screenLock{1u << 7};
inline constexpr HostFeatures HostFeatures::annotationColors{1u << 8};
inline constexpr HostFeatures HostFeatures::all{0x1FF};

// What a phone with a session asks to be kept told about.
struct Subscriptions : OptionSet<Subscriptions, std::uint8_t> {
    using OptionSet::OptionSet;
    static const Subscriptions nowPlaying, apps, volume, screenLock;
    static constexpr std::uint8_t allBits = 0x0F;
};
inline constexpr Subscriptions Subscriptions::nowPlaying{0x01};
inline constexpr Subscriptions Subscriptions::apps{0x02};
inline constexpr Subscriptions Subscriptions::volume{0x04};
inline constexpr Subscriptions Subscriptions::screenLock{0x08};

enum class PairingRejection : std::uint8_t { notPaired, declined, expired, lockedOut, rateLimited, busy, failed };

// ---- Text ---------------------------------------------------------------------------------------------

inline constexpr std::size_t maxWireStringBytes = 255;
// The text unchanged when its UTF-8 form has at most 255 bytes, otherwise the longest prefix of whole
// characters (extended grapheme clusters) that fits. Never fails.
std::string truncatedForWire(const std::string& text);
// True when any Unicode scalar of the text has the general category Control; false for an empty text.
// Invalid UTF-8 counts as containing one.
bool containsControlCharacter(std::string_view text);
bool isValidUTF8(std::string_view text);

}  // namespace TrackpadProtocol
