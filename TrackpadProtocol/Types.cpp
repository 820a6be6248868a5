#include "TrackpadProtocol/Types.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cmath>
#include <memory>

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
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    // Offsets of the UTF-16 form are mapped back to UTF-8 byte counts as we walk the boundaries.
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
    if (U_FAILURE(status) || !iterator) {
        // Without ICU's break data fall back to whole code points.
        std::size_t end = maxWireStringBytes;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        return text.substr(0, end);
    }
    iterator->setText(unicode);
    std::int32_t previous = 0;
    std::size_t bytes = 0;
    for (std::int32_t boundary = iterator->next(); boundary != icu::BreakIterator::DONE;
         boundary = iterator->next()) {
        std::string piece;
        unicode.tempSubStringBetween(previous, boundary).toUTF8String(piece);
        if (bytes + piece.size() > maxWireStringBytes) break;
        bytes += piece.size();
        previous = boundary;
    }
    // fromUTF8 replaces invalid sequences, so rebuild the prefix from the converted text rather than
    // cutting the original bytes at a count that may not line up with them.
    std::string result;
    unicode.tempSubStringBetween(0, previous).toUTF8String(result);
    return result;
}

}  // namespace TrackpadProtocol
