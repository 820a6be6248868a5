#pragma once
// The [Desktop Entry] group of a desktop file: the keys that decide whether an application is listed,
// how it is named, how it starts and what its windows and icon are.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Apps {

struct DesktopEntry {
    std::string type;
    std::string name;  // the best match for the user's locale
    std::string exec;
    std::string tryExec;
    std::string path;  // working folder
    std::string icon;
    std::string startupWMClass;
    std::vector<std::string> onlyShowIn;
    std::vector<std::string> notShowIn;
    bool noDisplay = false;
    bool hidden = false;
    bool terminal = false;
};

// The locale's message-language candidates, most specific first, from LC_ALL, LC_MESSAGES or LANG
// ("de_AT.UTF-8@euro" gives de_AT@euro, de_AT, de@euro, de). Empty for C and POSIX.
std::vector<std::string> messageLocales();

inline constexpr std::size_t maxDesktopFileBytes = 1024 * 1024;

// Parses the text of a desktop file. None when it has no [Desktop Entry] group, holds a NUL byte or
// invalid UTF-8, or is longer than maxDesktopFileBytes.
std::optional<DesktopEntry> parseDesktopEntry(std::string_view text, const std::vector<std::string>& locales);

// A string value with the escapes \s \n \t \r \\ resolved; an unknown escape is kept as written.
std::string unescapeDesktopValue(std::string_view value);
// A list value (separated by unescaped ';', which \; escapes), each element unescaped.
std::vector<std::string> desktopListValue(std::string_view value);

}  // namespace Apps
