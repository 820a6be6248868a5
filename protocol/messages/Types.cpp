#include "protocol/messages/Types.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "protocol/messages/Secrets.h"

namespace TrackpadProtocol {

bool PresentationImagePlacement::isValid() const {
    auto unit = [](float v) { return std::isfinite(v) && v >= 0.0f && v <= 1.0f; };
    auto size = [](float v) { return std::isfinite(v) && v >= 0.01f && v <= 4.0f; };
    return unit(center.x) && unit(center.y) && size(width) && size(height);
}

AppIcon::AppIcon(std::string bundleID, std::optional<Data> image) : bundleID(std::move(bundleID)) {
    if (image && !image->empty()) this->image = std::move(image);
}

NowPlaying::NowPlaying(std::string title, std::string artist, std::optional<Data> artwork)
    : title(std::move(title)), artist(std::move(artist)) {
    if (artwork && !artwork->empty()) this->artwork = std::move(artwork);
}

std::uint8_t VolumeStatus::percentLevel(double scalar) {
    if (std::isnan(scalar) || scalar <= 0) return 0;
    if (scalar >= 1) return 100;
    return static_cast<std::uint8_t>(std::round(scalar * 100));  // std::round rounds halves away from zero
}

UnlockRequest::~UnlockRequest() {
    // Past the end too: a shorter password assigned over a longer one leaves the rest in the buffer.
    password.resize(password.capacity());
    wipe(password.data(), password.size());
}

bool UnlockRequest::hasValidPassword() const {
    return !password.empty() && password.size() <= maxPasswordBytes && isValidUTF8(password) &&
           !containsControlCharacter(password);
}

std::string UnlockRequest::description() const {
    return "UnlockRequest(number: " + std::to_string(number) + ", password: <redacted>)";
}

const char* toString(UnlockResult::Status status) {
    switch (status) {
        case UnlockResult::Status::unlocked: return "unlocked";
        case UnlockResult::Status::stillLocked: return "stillLocked";
        case UnlockResult::Status::notLocked: return "notLocked";
        case UnlockResult::Status::notAllowed: return "notAllowed";
        case UnlockResult::Status::accessibilityRequired: return "accessibilityRequired";
        case UnlockResult::Status::busy: return "busy";
        case UnlockResult::Status::cannotType: return "cannotType";
        case UnlockResult::Status::notReached: return "notReached";
    }
    return "unknown";
}

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::int32_t length = static_cast<std::int32_t>(text.size());
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

bool containsControlCharacter(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (text.size() > static_cast<std::size_t>(INT32_MAX)) return true;
    std::int32_t length = static_cast<std::int32_t>(text.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return true;  // not a Unicode scalar: never let it through as text
        if (u_charType(c) == U_CONTROL_CHAR) return true;
    }
    return false;
}

std::string truncatedForWire(const std::string& text) {
    if (text.size() <= maxWireStringBytes) return text;
    // Only the beginning can end up in the result, so only the beginning is read: whether a character
    // ends at an offset depends on the text before it and on the code point that follows, and the margin
    // keeps that code point whole. Invalid bytes are replaced by U+FFFD, which never makes the text
    // shorter, so the limit still falls inside what is read.
    constexpr std::size_t margin = 32;
    std::size_t window = std::min(text.size(), maxWireStringBytes + margin);
    while (window < text.size() && window < maxWireStringBytes + margin + 3 &&
           (static_cast<unsigned char>(text[window]) & 0xC0) == 0x80) {
        ++window;
    }
    const icu::UnicodeString unicode =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(window)));

    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !iterator) {
        // Without ICU's break data fall back to whole code points.
        std::size_t end = maxWireStringBytes;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        return text.substr(0, end);
    }
    iterator->setText(unicode);
    // Boundaries are offsets in the UTF-16 form; count the UTF-8 bytes of each character on the way.
    std::int32_t previous = 0;
    std::size_t bytes = 0;
    for (std::int32_t boundary = iterator->next(); boundary != icu::BreakIterator::DONE;
         boundary = iterator->next()) {
        std::size_t characterBytes = 0;
        for (std::int32_t i = previous; i < boundary;) {
            const UChar32 c = unicode.char32At(i);
            characterBytes += static_cast<std::size_t>(U8_LENGTH(c));
            i += U16_LENGTH(c);
        }
        if (bytes + characterBytes > maxWireStringBytes) break;
        bytes += characterBytes;
        previous = boundary;
    }
    // fromUTF8 replaces invalid sequences, so the prefix is rebuilt from the converted text rather than
    // cut from the original bytes at a count that may not line up with them.
    std::string result;
    unicode.tempSubStringBetween(0, previous).toUTF8String(result);
    return result;
}

}  // namespace TrackpadProtocol
