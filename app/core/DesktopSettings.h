#pragma once
// The desktop's own settings as the X settings manager publishes them (XSETTINGS).
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace Shell {

// The integer setting `name` in an _XSETTINGS_SETTINGS property; none when it is absent, not an integer,
// or the data is malformed (the property belongs to another process, so nothing in it is trusted).
std::optional<std::int32_t> xsettingsInteger(std::span<const std::uint8_t> property, std::string_view name);

// The double-click interval in seconds from the running settings manager's "Net/DoubleClickTime"; none
// without a display, a settings manager or the setting.
std::optional<double> desktopDoubleClickInterval();

}  // namespace Shell
