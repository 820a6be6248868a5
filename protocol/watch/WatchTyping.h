#pragma once
// Typing from the watch: a text becomes the messages that type it (line breaks as Return presses, long
// text cut into pieces the text message can carry), special keys with their virtual key codes, and the
// feedback shown for the latest typing action.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/messages/Message.h"

namespace TrackpadProtocol {

enum class WatchSpecialKey { escape, tab, delete_, return_, left, up, down, right };

inline constexpr std::array<WatchSpecialKey, 8> allWatchSpecialKeys = {
    WatchSpecialKey::escape, WatchSpecialKey::tab, WatchSpecialKey::delete_, WatchSpecialKey::return_,
    WatchSpecialKey::left,   WatchSpecialKey::up,  WatchSpecialKey::down,    WatchSpecialKey::right};

// "escape", "tab", "delete", "return", "left", "up", "down", "right".
std::string_view rawValue(WatchSpecialKey key);
std::optional<WatchSpecialKey> watchSpecialKeyFromRaw(std::string_view raw);
std::uint16_t keyCode(WatchSpecialKey key);
// A keyCombination of the key's code without modifiers.
Message message(WatchSpecialKey key);
std::vector<Message> messages(WatchSpecialKey key);

namespace WatchTyping {

// The text messages take at most this many UTF-8 bytes.
inline constexpr std::size_t maximumTextBytes = 255;

// Lines become text messages and each line break (a character whose first scalar is U+000A...U+000D,
// U+0085, U+2028 or U+2029; CR LF is one character) a Return press without modifiers.
std::vector<Message> messages(std::string_view text);
// Text messages of at most `maximumBytes` bytes each, cut between characters; only a character longer
// than the limit on its own is cut, between its scalars, and a scalar is never cut.
std::vector<Message> textMessages(std::string_view text, std::size_t maximumBytes);

}  // namespace WatchTyping

struct WatchTypingFeedback {
    struct Entry {
        std::variant<std::string, WatchSpecialKey> value;  // a typed text or a key
        static Entry text(std::string text) { return {std::move(text)}; }
        static Entry key(WatchSpecialKey key) { return {key}; }
        bool operator==(const Entry&) const = default;
    };
    enum class Phase { sending, delivered, notDelivered, notSent, unanswered };
    enum class Haptic { success, click, failure };

    Phase phase = Phase::sending;
    Entry entry;

    static WatchTypingFeedback sending(Entry entry) { return {Phase::sending, std::move(entry)}; }
    static WatchTypingFeedback delivered(Entry entry) { return {Phase::delivered, std::move(entry)}; }
    static WatchTypingFeedback notDelivered(Entry entry) { return {Phase::notDelivered, std::move(entry)}; }
    static WatchTypingFeedback notSent(Entry entry) { return {Phase::notSent, std::move(entry)}; }
    static WatchTypingFeedback unanswered(Entry entry) { return {Phase::unanswered, std::move(entry)}; }

    // None while sending; success for a delivered text, click for a delivered key, failure otherwise.
    std::optional<Haptic> haptic() const;
    bool operator==(const WatchTypingFeedback&) const = default;
};

}  // namespace TrackpadProtocol
