#include "platform/DBus.h"

#include <systemd/sd-bus.h>

#include <limits>
#include <type_traits>

namespace platform::dbus {

std::string Value::signature() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>)
                return "";
            else if constexpr (std::is_same_v<T, bool>)
                return "b";
            else if constexpr (std::is_same_v<T, std::uint8_t>)
                return "y";
            else if constexpr (std::is_same_v<T, std::int16_t>)
                return "n";
            else if constexpr (std::is_same_v<T, std::uint16_t>)
                return "q";
            else if constexpr (std::is_same_v<T, std::int32_t>)
                return "i";
            else if constexpr (std::is_same_v<T, std::uint32_t>)
                return "u";
            else if constexpr (std::is_same_v<T, std::int64_t>)
                return "x";
            else if constexpr (std::is_same_v<T, std::uint64_t>)
                return "t";
            else if constexpr (std::is_same_v<T, double>)
                return "d";
            else if constexpr (std::is_same_v<T, std::string>)
                return "s";
            else if constexpr (std::is_same_v<T, ObjectPath>)
                return "o";
            else if constexpr (std::is_same_v<T, std::vector<std::string>>)
                return "as";
            else if constexpr (std::is_same_v<T, std::shared_ptr<const PropertyMap>>)
                return "a{sv}";
            else
                return v.signature;
        },
        storage_);
}

const PropertyMap* Value::dictionary() const {
    const auto* map = std::get_if<std::shared_ptr<const PropertyMap>>(&storage_);
    return map ? map->get() : nullptr;
}

std::optional<bool> Value::boolean() const {
    if (const bool* v = std::get_if<bool>(&storage_))
        return *v;
    return std::nullopt;
}

std::optional<std::int64_t> Value::integer() const {
    return std::visit(
        [](const auto& v) -> std::optional<std::int64_t> {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::uint64_t>) {
                if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                    return std::nullopt;
                return static_cast<std::int64_t>(v);
            } else if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
                return static_cast<std::int64_t>(v);
            } else {
                return std::nullopt;
            }
        },
        storage_);
}

std::optional<double> Value::number() const {
    if (const double* v = std::get_if<double>(&storage_))
        return *v;
    if (const auto* v = std::get_if<std::uint64_t>(&storage_))
        return static_cast<double>(*v);
    if (auto v = integer())
        return static_cast<double>(*v);
    return std::nullopt;
}

bool Value::operator==(const Value& other) const {
    const PropertyMap* a = dictionary();
    const PropertyMap* b = other.dictionary();
    if (a && b)
        return *a == *b;
    return storage_ == other.storage_;
}

const Value* find(const PropertyMap& map, std::string_view key) {
    const auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

bool Error::timedOut() const {
    return name == SD_BUS_ERROR_NO_REPLY || name == SD_BUS_ERROR_TIMEOUT ||
           name == "System.Error.ETIMEDOUT";
}

const Value& Message::argument(std::size_t index) const {
    static const Value none;
    return index < arguments.size() ? arguments[index] : none;
}

}  // namespace platform::dbus
