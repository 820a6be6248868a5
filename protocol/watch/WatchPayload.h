#pragma once
// The record phone and watch exchange in both directions: the watch asks for the phone's status or sends
// one input message for the computer; the phone answers with its status or with the outcome of an input.
//
// Byte form (integers big-endian): [version 1][kind][body]. statusRequest has no body; input is a target
// flag (0/1), the target's 16 UUID bytes when the flag is 1, the input session as 8 unsigned bytes, then
// the message in the codec's payload form up to the end; status is one status block; inputResult is a
// delivered byte (0/1) and a status block. A status block is the phone-app byte, the Mac kind byte, the
// kind's details (texts as a 16-bit length and at most 512 bytes of UTF-8), a target flag and UUID, and
// the 8-byte session. Readers and writers report the message codec's own errors.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

struct WatchPayload;

// True for the ten cases a watch may send: move, tap, drag, scroll, gesture, keyCombination, text,
// mediaCommand, quickAction and rightClick.
bool isWatchInput(const Message& message);

// Turns the English text of a user-visible string into the text shown; the English text is the key.
using WatchLocalizer = std::function<std::string(std::string_view english)>;
// The identity: the English text itself.
std::string englishText(std::string_view english);

// The reader's state: the payload's bytes and a read offset that only grows. A read past the end throws
// MessageCodec::DecodingError::truncated.
struct WatchPayloadCursor {
    std::span<const std::uint8_t> bytes;
    std::size_t offset = 0;

    explicit WatchPayloadCursor(std::span<const std::uint8_t> bytes) : bytes(bytes) {}
    std::size_t remaining() const { return bytes.size() - offset; }
    std::uint8_t byte();
    // A byte that must be 0 or 1.
    bool flag(const char* field);
    std::uint16_t u16();
    // Eight bytes, most significant first, as a non-negative session number.
    std::int64_t session(const char* field);
    std::span<const std::uint8_t> take(std::size_t count);
};

struct WatchStatus {
    struct Mac {
        struct NoMacPaired {
            bool operator==(const NoMacPaired&) const = default;
        };
        struct NoMacSelected {
            bool operator==(const NoMacSelected&) const = default;
        };
        struct Pairing {
            bool operator==(const Pairing&) const = default;
        };
        struct Connecting {
            std::string name;
            bool operator==(const Connecting&) const = default;
        };
        struct Connected {
            std::string name;
            bool operator==(const Connected&) const = default;
        };
        struct NeedsAccessibility {
            std::string name;
            bool operator==(const NeedsAccessibility&) const = default;
        };
        struct NotConnected {
            std::optional<std::string> name;
            std::optional<std::string> problem;
            bool operator==(const NotConnected&) const = default;
        };
        struct Demo {
            bool operator==(const Demo&) const = default;
        };
        enum class Kind : std::uint8_t {
            noMacPaired = 0,
            noMacSelected = 1,
            pairing = 2,
            connecting = 3,
            connected = 4,
            needsAccessibility = 5,
            notConnected = 6,
            demo = 7,
        };
        static std::optional<Kind> kindFromRaw(std::uint8_t raw);

        std::variant<NoMacPaired, NoMacSelected, Pairing, Connecting, Connected, NeedsAccessibility,
                     NotConnected, Demo>
            value;

        Mac() = default;
        template <class Case, class = std::enable_if_t<std::is_constructible_v<decltype(value), Case&&> &&
                                                       !std::is_same_v<std::decay_t<Case>, Mac>>>
        Mac(Case&& payload) : value(std::forward<Case>(payload)) {}  // NOLINT(google-explicit-constructor)

        Kind kind() const { return static_cast<Kind>(value.index()); }
        // The carried name of connecting, connected and needsAccessibility; the name of notConnected, if
        // any; "Demo Mac" for demo; none otherwise.
        std::optional<std::string> name(const WatchLocalizer& localize = englishText) const;
        bool operator==(const Mac&) const = default;
    };

    // The longest UTF-8 byte count of a name or problem text on the wire.
    static constexpr std::size_t maximumTextBytes = 512;

    bool isPhoneAppActive = false;
    Mac mac;
    std::optional<UUID> targetMacID;
    std::int64_t inputSession = 0;

    WatchStatus() = default;
    WatchStatus(bool isPhoneAppActive, Mac mac, std::optional<UUID> targetMacID, std::int64_t inputSession)
        : isPhoneAppActive(isPhoneAppActive),
          mac(std::move(mac)),
          targetMacID(targetMacID),
          inputSession(inputSession) {}
    // Reads one status block, advancing the cursor. Throws MessageCodec::DecodingError.
    explicit WatchStatus(WatchPayloadCursor& cursor);

    // No phone-side state known: the phone app inactive, not connected without name or problem, no target,
    // session 0.
    static const WatchStatus unavailable;

    // Appends the status block. Never fails: texts are cut to 512 bytes on whole characters and a negative
    // session is written as 0.
    void encode(Data& output) const;

    // The phone app is active and the Mac is connected or the demo.
    bool acceptsInput() const;
    // Same target (both absent, or both present and equal) and same session.
    bool matches(const std::optional<UUID>& targetMacID, std::int64_t inputSession) const;
    // The input payload of the message, addressed with this status's target and session.
    WatchPayload inputPayload(const Message& message) const;

    std::string description() const;
    bool operator==(const WatchStatus&) const = default;
};

struct WatchPayload {
    struct Input {
        Message message;
        std::optional<UUID> targetMacID;
        std::int64_t inputSession = 0;
        bool operator==(const Input&) const = default;
    };
    struct Status {
        WatchStatus status;
        bool operator==(const Status&) const = default;
    };
    struct InputResult {
        bool delivered = false;
        WatchStatus status;
        bool operator==(const InputResult&) const = default;
    };
    struct StatusRequest {
        bool operator==(const StatusRequest&) const = default;
    };

    enum class Kind : std::uint8_t { statusRequest = 1, input = 2, status = 3, inputResult = 4 };
    // 1...4 only.
    static std::optional<Kind> kindFromRaw(std::uint8_t raw);
    static constexpr std::uint8_t version = 1;

    std::variant<Input, Status, InputResult, StatusRequest> value;

    WatchPayload(Input input) : value(std::move(input)) {}          // NOLINT
    WatchPayload(Status status) : value(std::move(status)) {}       // NOLINT
    WatchPayload(InputResult result) : value(std::move(result)) {}  // NOLINT
    WatchPayload(StatusRequest request = {}) : value(request) {}    // NOLINT
    // Parses exactly one payload that fills the whole data. Throws MessageCodec::DecodingError, including
    // the codec's errors for the embedded message.
    explicit WatchPayload(std::span<const std::uint8_t> data);

    Kind kind() const;
    // Throws MessageCodec::EncodingError::invalidValue for an input with a negative session, and whatever
    // the codec throws for the embedded message.
    Data encoded() const;
    // Appends the byte form to `output`, which is left as it was when the payload cannot be encoded.
    void encode(Data& output) const;

    // True only for an inputResult whose delivered flag is set.
    bool isDelivered() const;
    // The status of a status or inputResult payload.
    std::optional<WatchStatus> carriedStatus() const;

    // A readable form for logs; the embedded message is described as the protocol describes it, so a
    // password never shows.
    std::string description() const;
    bool operator==(const WatchPayload&) const = default;
};

}  // namespace TrackpadProtocol
