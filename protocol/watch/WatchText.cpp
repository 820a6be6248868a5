#include "protocol/watch/WatchText.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <climits>
#include <memory>

#include "protocol/messages/Types.h"

namespace TrackpadProtocol::watch_text {

std::vector<std::string_view> characters(std::string_view text) {
    std::vector<std::string_view> result;
    if (text.empty())
        return result;
    if (text.size() > static_cast<std::size_t>(INT32_MAX))
        return {text};
    UErrorCode status = U_ZERO_ERROR;
    UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status);
    std::unique_ptr<UText, decltype(&utext_close)> owned(utext, &utext_close);
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !iterator) {
        // Without ICU's break data, whole code points are the best cut there is.
        for (auto scalar : scalars(text))
            result.push_back(scalar);
        return result;
    }
    iterator->setText(utext, status);
    // Boundaries of a UTF-8 UText are byte offsets into the text.
    std::int32_t previous = 0;
    for (std::int32_t boundary = iterator->next(); boundary != icu::BreakIterator::DONE;
         boundary = iterator->next()) {
        result.push_back(
            text.substr(static_cast<std::size_t>(previous), static_cast<std::size_t>(boundary - previous)));
        previous = boundary;
    }
    return result;
}

std::string prefixWithinBytes(std::string_view text, std::size_t limit) {
    if (text.size() <= limit)
        return std::string(text);
    // Whether a character ends at an offset depends on the text before it and on the code point after
    // it, never on more, so a margin beyond the limit that holds any code point whole is enough to read.
    const std::size_t window = std::min(text.size(), limit + 64);
    std::size_t end = 0;
    for (auto character : characters(text.substr(0, window))) {
        if (end + character.size() > limit)
            break;
        end += character.size();
    }
    return std::string(text.substr(0, end));
}

std::string wellFormed(std::string_view text) {
    if (isValidUTF8(text))
        return std::string(text);
    std::string result;
    result.reserve(text.size() + 8);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::int32_t length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    for (std::int32_t i = 0; i < length;) {
        const std::int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0)
            result += "\xEF\xBF\xBD";
        else
            result.append(text.data() + start, static_cast<std::size_t>(i - start));
    }
    return result;
}

std::vector<std::string_view> scalars(std::string_view text) {
    std::vector<std::string_view> result;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::int32_t length = static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    for (std::int32_t i = 0; i < length;) {
        const std::int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        result.push_back(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
    return result;
}

}  // namespace TrackpadProtocol::watch_text
