#include "protocol/watch/WatchTyping.h"

#include <utility>

#include "protocol/watch/WatchText.h"

namespace TrackpadProtocol {

std::string_view rawValue(WatchSpecialKey key) {
    switch (key) {
        case WatchSpecialKey::escape:
            return "escape";
        case WatchSpecialKey::tab:
            return "tab";
        case WatchSpecialKey::delete_:
            return "delete";
        case WatchSpecialKey::return_:
            return "return";
        case WatchSpecialKey::left:
            return "left";
        case WatchSpecialKey::up:
            return "up";
        case WatchSpecialKey::down:
            return "down";
        case WatchSpecialKey::right:
            return "right";
    }
    return "";
}

std::optional<WatchSpecialKey> watchSpecialKeyFromRaw(std::string_view raw) {
    for (auto key : allWatchSpecialKeys)
        if (rawValue(key) == raw)
            return key;
    return std::nullopt;
}

std::uint16_t keyCode(WatchSpecialKey key) {
    switch (key) {
        case WatchSpecialKey::escape:
            return 53;
        case WatchSpecialKey::tab:
            return 48;
        case WatchSpecialKey::delete_:
            return 51;
        case WatchSpecialKey::return_:
            return 36;
        case WatchSpecialKey::left:
            return 123;
        case WatchSpecialKey::up:
            return 126;
        case WatchSpecialKey::down:
            return 125;
        case WatchSpecialKey::right:
            return 124;
    }
    return 0;
}

Message message(WatchSpecialKey key) {
    return Message::KeyCombination{KeyCombination{KeyCombination::Code{keyCode(key)}, {}}};
}

std::vector<Message> messages(WatchSpecialKey key) {
    return {message(key)};
}

namespace {

bool isLineBreak(std::string_view character) {
    const auto first = watch_text::scalars(character.substr(0, std::min<std::size_t>(character.size(), 4)));
    if (first.empty())
        return false;
    const auto s = first.front();
    if (s.size() == 1)
        return s[0] >= 0x0A && s[0] <= 0x0D;
    return s == "\u0085" || s == "\u2028" || s == "\u2029";
}

}  // namespace

std::vector<Message> WatchTyping::textMessages(std::string_view text, std::size_t maximumBytes) {
    std::vector<Message> result;
    if (text.empty())
        return result;
    if (text.size() <= maximumBytes) {
        result.push_back(Message::Text{std::string(text)});
        return result;
    }
    std::string chunk;
    auto close = [&] {
        if (!chunk.empty())
            result.push_back(Message::Text{std::exchange(chunk, {})});
    };
    for (auto character : watch_text::characters(text)) {
        if (character.size() <= maximumBytes) {
            if (chunk.size() + character.size() > maximumBytes)
                close();
            chunk += character;
            continue;
        }
        close();
        // A scalar longer than a tiny limit still goes out whole, in a chunk of its own.
        for (auto scalar : watch_text::scalars(character)) {
            if (chunk.size() + scalar.size() > maximumBytes)
                close();
            chunk += scalar;
        }
        close();
    }
    close();
    return result;
}

std::vector<Message> WatchTyping::messages(std::string_view input) {
    // Texts of the watch's platform are always well-formed; a text message that is not would be refused.
    const std::string valid = watch_text::wellFormed(input);
    const std::string_view text = valid;
    std::vector<Message> result;
    std::size_t lineStart = 0;
    std::size_t offset = 0;
    auto appendLine = [&](std::size_t end) {
        auto pieces = textMessages(text.substr(lineStart, end - lineStart), maximumTextBytes);
        result.insert(result.end(), std::make_move_iterator(pieces.begin()),
                      std::make_move_iterator(pieces.end()));
    };
    for (auto character : watch_text::characters(text)) {
        if (isLineBreak(character)) {
            appendLine(offset);
            result.push_back(message(WatchSpecialKey::return_));
            lineStart = offset + character.size();
        }
        offset += character.size();
    }
    appendLine(text.size());
    return result;
}

std::optional<WatchTypingFeedback::Haptic> WatchTypingFeedback::haptic() const {
    switch (phase) {
        case Phase::sending:
            return std::nullopt;
        case Phase::delivered:
            return std::holds_alternative<WatchSpecialKey>(entry.value) ? Haptic::click : Haptic::success;
        default:
            return Haptic::failure;
    }
}

}  // namespace TrackpadProtocol
