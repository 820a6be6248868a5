#include "app/core/DesktopSettings.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace Shell {

namespace {

class Reader {
  public:
    Reader(std::span<const std::uint8_t> bytes, bool bigEndian) : bytes_(bytes), bigEndian_(bigEndian) {}

    bool skip(std::size_t count) {
        if (count > bytes_.size() - offset_) {
            return false;
        }
        offset_ += count;
        return true;
    }
    std::optional<std::uint32_t> read(std::size_t width) {
        if (width > bytes_.size() - offset_) {
            return std::nullopt;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::uint32_t byte = bytes_[offset_ + (bigEndian_ ? i : width - 1 - i)];
            value = (value << 8) | byte;
        }
        offset_ += width;
        return value;
    }
    std::optional<std::string_view> text(std::size_t length) {
        if (length > bytes_.size() - offset_) {
            return std::nullopt;
        }
        std::string_view out(reinterpret_cast<const char*>(bytes_.data() + offset_), length);
        offset_ += length;
        return out;
    }

  private:
    std::span<const std::uint8_t> bytes_;
    bool bigEndian_;
    std::size_t offset_ = 0;
};

std::size_t padding(std::size_t length) {
    return (4 - length % 4) % 4;
}

}  // namespace

std::optional<std::int32_t> xsettingsInteger(std::span<const std::uint8_t> property, std::string_view name) {
    if (property.size() < 12 || property[0] > 1) {
        return std::nullopt;
    }
    Reader reader(property, property[0] == 1);
    reader.skip(4);
    reader.read(4);  // serial
    const auto count = reader.read(4);
    if (!count) {
        return std::nullopt;
    }
    for (std::uint32_t i = 0; i < *count; ++i) {
        const auto type = reader.read(1);
        const bool padded = reader.skip(1);
        const auto nameLength = reader.read(2);
        if (!type || !padded || !nameLength) {
            return std::nullopt;
        }
        const auto settingName = reader.text(*nameLength);
        if (!settingName || !reader.skip(padding(*nameLength)) || !reader.read(4)) {
            return std::nullopt;
        }
        switch (*type) {
            case 0: {  // integer
                const auto value = reader.read(4);
                if (!value) {
                    return std::nullopt;
                }
                if (*settingName == name) {
                    return static_cast<std::int32_t>(*value);
                }
                break;
            }
            case 1: {  // string
                const auto length = reader.read(4);
                if (!length || !reader.skip(*length) || !reader.skip(padding(*length))) {
                    return std::nullopt;
                }
                break;
            }
            case 2:  // colour: four 16-bit channels
                if (!reader.skip(8)) {
                    return std::nullopt;
                }
                break;
            default:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<double> desktopDoubleClickInterval() {
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (!connection || xcb_connection_has_error(connection)) {
        if (connection) {
            xcb_disconnect(connection);
        }
        return std::nullopt;
    }
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> owner(connection, xcb_disconnect);
    auto intern = [connection](const std::string& atomName) -> xcb_atom_t {
        auto* reply = xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(atomName.size()), atomName.c_str()),
            nullptr);
        const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
        std::free(reply);
        return atom;
    };
    const xcb_atom_t selection = intern("_XSETTINGS_S" + std::to_string(screenNumber));
    const xcb_atom_t settings = intern("_XSETTINGS_SETTINGS");
    if (selection == XCB_ATOM_NONE || settings == XCB_ATOM_NONE) {
        return std::nullopt;
    }
    auto* ownerReply =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    const xcb_window_t window = ownerReply ? ownerReply->owner : xcb_window_t{XCB_WINDOW_NONE};
    std::free(ownerReply);
    if (window == XCB_WINDOW_NONE) {
        return std::nullopt;
    }
    // A settings block is small; 64 KiB is far more than any manager writes.
    auto* property = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, settings, settings, 0, 16384), nullptr);
    if (!property) {
        return std::nullopt;
    }
    std::optional<std::int32_t> milliseconds;
    if (property->format == 8) {
        const auto* data = static_cast<const std::uint8_t*>(xcb_get_property_value(property));
        const auto length = static_cast<std::size_t>(xcb_get_property_value_length(property));
        milliseconds = xsettingsInteger(std::span(data, length), "Net/DoubleClickTime");
    }
    std::free(property);
    // Anything outside a plausible range is the manager's mistake, not a setting.
    if (!milliseconds || *milliseconds < 100 || *milliseconds > 5000) {
        return std::nullopt;
    }
    return *milliseconds / 1000.0;
}

}  // namespace Shell
