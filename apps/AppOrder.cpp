#include "apps/AppOrder.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace Apps {

namespace {

// Without collation data: ASCII case folded, each digit run prefixed by its length so that runs
// compare by value.
std::string fallbackKey(std::string_view name) {
    std::string key;
    std::size_t i = 0;
    while (i < name.size()) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (std::isdigit(byte)) {
            std::size_t end = i;
            while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) {
                ++end;
            }
            std::size_t start = i;
            while (start + 1 < end && name[start] == '0') {
                ++start;
            }
            key += static_cast<char>(0x01);
            key += static_cast<char>(std::min<std::size_t>(end - start, 0xFF));
            key.append(name.substr(start, end - start));
            i = end;
        } else {
            key += static_cast<char>(std::tolower(byte));
            ++i;
        }
    }
    return key;
}

}  // namespace

AppOrder::AppOrder() : collator_(nullptr) {
    UErrorCode status = U_ZERO_ERROR;
    // The POSIX locale's collation orders by code point (capitals first); an unset locale means the
    // root collation instead.
    const std::string locale = uloc_getDefault();
    const bool posix = locale == "en_US_POSIX" || locale == "c" || locale.empty();
    UCollator* collator = ucol_open(posix ? "" : locale.c_str(), &status);
    if (U_FAILURE(status) || collator == nullptr) {
        return;
    }
    ucol_setAttribute(collator, UCOL_NUMERIC_COLLATION, UCOL_ON, &status);
    ucol_setAttribute(collator, UCOL_STRENGTH, UCOL_SECONDARY, &status);
    if (U_FAILURE(status)) {
        ucol_close(collator);
        return;
    }
    collator_ = collator;
}

AppOrder::~AppOrder() {
    if (collator_ != nullptr) {
        ucol_close(static_cast<UCollator*>(collator_));
    }
}

std::string AppOrder::sortKey(std::string_view name) const {
    if (collator_ == nullptr) {
        return fallbackKey(name);
    }
    // UTF-8 to UTF-16 with replacement of invalid sequences.
    std::vector<UChar> text(name.size() + 1);
    std::int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(text.data(), static_cast<std::int32_t>(text.size()), &length, name.data(),
                         static_cast<std::int32_t>(name.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) {
        return fallbackKey(name);
    }
    const auto* collator = static_cast<const UCollator*>(collator_);
    std::string key(64, '\0');
    std::int32_t needed =
        ucol_getSortKey(collator, text.data(), length, reinterpret_cast<std::uint8_t*>(key.data()),
                        static_cast<std::int32_t>(key.size()));
    if (needed > static_cast<std::int32_t>(key.size())) {
        key.resize(static_cast<std::size_t>(needed));
        needed = ucol_getSortKey(collator, text.data(), length, reinterpret_cast<std::uint8_t*>(key.data()),
                                 static_cast<std::int32_t>(key.size()));
    }
    key.resize(needed > 0 ? static_cast<std::size_t>(needed - 1) : 0);  // without the terminating 0
    return key;
}

int AppOrder::compare(std::string_view a, std::string_view b) const {
    return sortKey(a).compare(sortKey(b));
}

}  // namespace Apps
