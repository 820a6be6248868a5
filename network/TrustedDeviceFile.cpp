#include "network/TrustedDeviceFile.h"

#include "platform/Base64.h"

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cstdio>
#include <limits>
#include <set>

namespace CompanionNetwork {

namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Reads exactly `count` decimal digits at `at`.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size())
        return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

[[noreturn]] void damaged(const std::string& reason) {
    throw TrustedDeviceStoreError::unreadable(reason);
}

const Json& member(const Json& object, const char* key, const std::string& where) {
    auto it = object.find(key);
    if (it == object.end())
        damaged(where + "\"" + key + "\" is missing");
    return *it;
}

std::string text(const Json& object, const char* key, const std::string& where) {
    const Json& value = member(object, key, where);
    if (!value.is_string())
        damaged(where + "\"" + key + "\" is not text");
    return value.get<std::string>();
}

UUID uuid(const Json& object, const char* key, const std::string& where) {
    auto parsed = UUID::parse(text(object, key, where));
    if (!parsed)
        damaged(where + "\"" + key + "\" is not a UUID");
    return *parsed;
}

Date date(const Json& value, const char* key, const std::string& where) {
    if (!value.is_string())
        damaged(where + "\"" + key + "\" is not a date");
    auto parsed = TrustedDeviceFile::parseDate(value.get_ref<const std::string&>());
    if (!parsed)
        damaged(where + "\"" + key + "\" is not a date");
    return *parsed;
}

std::int64_t format(const Json& root) {
    const Json& value = member(root, "format", "");
    if (value.is_number_unsigned()) {
        auto raw = value.get<std::uint64_t>();
        if (raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            damaged("\"format\" is out of range");
        return static_cast<std::int64_t>(raw);
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    damaged("\"format\" is not a whole number");
}

TrustedDevice device(const Json& value, std::size_t index) {
    std::string where = "device " + std::to_string(index + 1) + ": ";
    if (!value.is_object())
        damaged(where + "not an object");
    TrustedDevice result;
    result.id = uuid(value, "id", where);
    result.name = text(value, "name", where);
    result.pairedAt = date(member(value, "pairedAt", where), "pairedAt", where);
    if (auto it = value.find("lastConnectedAt"); it != value.end() && !it->is_null())
        result.lastConnectedAt = date(*it, "lastConnectedAt", where);
    auto digest = TrustedDeviceFile::base64Decode(text(value, "tokenDigest", where));
    if (!digest || digest->size() != result.tokenDigest.size())
        damaged(where + "\"tokenDigest\" is not 32 bytes of base64");
    std::copy(digest->begin(), digest->end(), result.tokenDigest.begin());
    return result;
}

}  // namespace

std::string TrustedDeviceFile::encode(const TrustedDeviceList& list) {
    OrderedJson devices = OrderedJson::array();
    for (const auto& device : list.devices) {
        OrderedJson entry;
        entry["id"] = device.id.uuidString();
        entry["name"] = device.name;
        entry["pairedAt"] = formatDate(device.pairedAt);
        entry["lastConnectedAt"] =
            device.lastConnectedAt ? OrderedJson(formatDate(*device.lastConnectedAt)) : nullptr;
        entry["tokenDigest"] = base64Encode(device.tokenDigest);
        devices.push_back(std::move(entry));
    }
    OrderedJson root;
    root["format"] = list.format;
    root["hostID"] = list.hostID.uuidString();
    root["devices"] = std::move(devices);
    root["tlsPrivateKey"] = base64Encode(list.tlsPrivateKey);
    // A name that is not valid UTF-8 must not make saving fail; it is written with replacement characters.
    return root.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

TrustedDeviceList TrustedDeviceFile::decode(std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        damaged("the file is empty");
    if (bytes.size() > maxBytes)
        damaged("the file is too large");
    Json root;
    try {
        root = Json::parse(bytes.begin(), bytes.end());
    } catch (const Json::parse_error& error) {
        damaged("not valid JSON at byte " + std::to_string(error.byte));
    } catch (const Json::exception&) {
        damaged("not valid JSON: a number is out of range");  // e.g. 1E999
    }
    if (!root.is_object())
        damaged("not a JSON object");

    // The format comes first: a newer version may have changed everything else.
    TrustedDeviceList list;
    list.format = format(root);
    if (list.format > TrustedDeviceList::currentFormat)
        throw TrustedDeviceStoreError::unsupportedFormat(list.format);
    if (list.format < TrustedDeviceList::currentFormat)
        damaged("unknown format " + std::to_string(list.format));

    list.hostID = uuid(root, "hostID", "");
    const Json& devices = member(root, "devices", "");
    if (!devices.is_array())
        damaged("\"devices\" is not a list");
    std::set<UUID> seen;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        TrustedDevice entry = device(devices[i], i);
        if (!seen.insert(entry.id).second)
            damaged("device " + std::to_string(i + 1) + " appears twice");
        list.devices.push_back(std::move(entry));
    }
    auto key = base64Decode(text(root, "tlsPrivateKey", ""));
    if (!key || key->empty())
        damaged("\"tlsPrivateKey\" is not base64");
    list.tlsPrivateKey = std::move(*key);
    return list;
}

TrustedDeviceFile::UTCFields TrustedDeviceFile::utcFields(Date date) {
    using namespace std::chrono;
    auto day = floor<days>(date);
    year_month_day ymd{day};
    hh_mm_ss time{duration_cast<nanoseconds>(date - day)};
    return {static_cast<int>(ymd.year()),
            static_cast<unsigned>(ymd.month()),
            static_cast<unsigned>(ymd.day()),
            static_cast<int>(time.hours().count()),
            static_cast<int>(time.minutes().count()),
            static_cast<int>(time.seconds().count()),
            static_cast<long long>(time.subseconds().count())};
}

std::string TrustedDeviceFile::formatDate(Date date) {
    const UTCFields utc = utcFields(date);
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d", utc.year, utc.month, utc.day,
                  utc.hour, utc.minute, utc.second);
    std::string result = buffer;
    if (auto fraction = utc.nanoseconds; fraction != 0) {
        std::snprintf(buffer, sizeof buffer, ".%09lld", fraction);
        std::string digits = buffer;
        while (digits.back() == '0')
            digits.pop_back();
        result += digits;
    }
    return result + "Z";
}

std::optional<Date> TrustedDeviceFile::parseDate(std::string_view text) {
    using namespace std::chrono;
    // yyyy-MM-ddTHH:mm:ss[.fraction]Z
    if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text.back() != 'Z')
        return std::nullopt;
    auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!y || !mo || !d || !h || !mi || !s || *h > 23 || *mi > 59 || *s > 59)
        return std::nullopt;
    year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)}, day{static_cast<unsigned>(*d)}};
    if (!ymd.ok())
        return std::nullopt;

    std::int64_t nanos = 0;
    std::string_view rest = text.substr(19, text.size() - 20);
    if (!rest.empty()) {
        if (rest[0] != '.' || rest.size() < 2 || rest.size() > 10)
            return std::nullopt;
        auto fraction = digits(rest, 1, rest.size() - 1);
        if (!fraction)
            return std::nullopt;
        nanos = *fraction;
        for (std::size_t i = rest.size() - 1; i < 9; ++i)
            nanos *= 10;
    }

    // Whole seconds since the epoch fit easily; the clock's own range (about 1678...2262 with
    // nanoseconds) does not cover every four-digit year, so check before converting.
    std::int64_t seconds = static_cast<std::int64_t>(sys_days(ymd).time_since_epoch().count()) * 86400 +
                           *h * 3600 + *mi * 60 + *s;
    using Limit = duration<std::int64_t>;
    const auto maxSeconds = duration_cast<Limit>(Date::duration::max()).count() - 1;
    const auto minSeconds = duration_cast<Limit>(Date::duration::min()).count() + 1;
    if (seconds > maxSeconds || seconds < minSeconds)
        return std::nullopt;
    return Date(duration_cast<Date::duration>(Limit(seconds)) +
                duration_cast<Date::duration>(nanoseconds(nanos)));
}

std::string TrustedDeviceFile::base64Encode(std::span<const std::uint8_t> bytes) {
    return platform::base64Encode(bytes);
}

std::optional<Data> TrustedDeviceFile::base64Decode(std::string_view text) {
    return platform::base64Decode(text);
}

}  // namespace CompanionNetwork
