#include "apps/DesktopEntry.h"

#include <cstdlib>
#include <unordered_map>

#include "protocol/messages/Types.h"

namespace Apps {

namespace {

std::string_view trimmedASCII(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

bool booleanValue(std::string_view value) {
    return value == "true" || value == "1";
}

}  // namespace

std::vector<std::string> messageLocales() {
    const char* value = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            break;
        }
        value = nullptr;
    }
    if (value == nullptr) {
        return {};
    }
    std::string locale = value;
    if (locale == "C" || locale == "POSIX" || locale.starts_with("C.")) {
        return {};
    }
    std::string modifier;
    if (auto at = locale.find('@'); at != std::string::npos) {
        modifier = locale.substr(at);
        locale.erase(at);
    }
    if (auto dot = locale.find('.'); dot != std::string::npos) {
        locale.erase(dot);
    }
    std::string language = locale;
    std::string country;
    if (auto underscore = locale.find('_'); underscore != std::string::npos) {
        language = locale.substr(0, underscore);
        country = locale.substr(underscore);
    }
    std::vector<std::string> candidates;
    if (!country.empty() && !modifier.empty()) {
        candidates.push_back(language + country + modifier);
    }
    if (!country.empty()) {
        candidates.push_back(language + country);
    }
    if (!modifier.empty()) {
        candidates.push_back(language + modifier);
    }
    candidates.push_back(language);
    return candidates;
}

std::string unescapeDesktopValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        switch (next) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case '\\':
                out += '\\';
                break;
            default:
                out += '\\';
                out += next;
        }
    }
    return out;
}

std::vector<std::string> desktopListValue(std::string_view value) {
    std::vector<std::string> items;
    std::string current;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size() && value[i + 1] == ';') {
            current += ';';
            ++i;
        } else if (value[i] == '\\' && i + 1 < value.size()) {
            current += value.substr(i, 2);
            ++i;
        } else if (value[i] == ';') {
            items.push_back(unescapeDesktopValue(current));
            current.clear();
        } else {
            current += value[i];
        }
    }
    if (!current.empty()) {
        items.push_back(unescapeDesktopValue(current));
    }
    return items;
}

std::optional<DesktopEntry> parseDesktopEntry(std::string_view text,
                                              const std::vector<std::string>& locales) {
    if (text.size() > maxDesktopFileBytes || text.find('\0') != std::string_view::npos ||
        !TrackpadProtocol::isValidUTF8(text)) {
        return std::nullopt;
    }
    bool inEntry = false;
    bool seenEntry = false;
    std::unordered_map<std::string, std::string> values;
    std::size_t position = 0;
    while (position <= text.size()) {
        std::size_t end = text.find('\n', position);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = trimmedASCII(text.substr(position, end - position));
        position = end + 1;
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            if (seenEntry && inEntry) {
                break;  // the keys of later groups belong to actions and extensions
            }
            inEntry = line == "[Desktop Entry]";
            seenEntry = seenEntry || inEntry;
            continue;
        }
        if (!inEntry) {
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        std::string key(trimmedASCII(line.substr(0, equals)));
        std::string_view value = trimmedASCII(line.substr(equals + 1));
        values.try_emplace(std::move(key), value);  // the first of repeated keys wins
    }
    if (!seenEntry) {
        return std::nullopt;
    }
    const auto raw = [&](const std::string& key) -> std::string_view {
        auto found = values.find(key);
        return found == values.end() ? std::string_view{} : std::string_view(found->second);
    };
    DesktopEntry entry;
    entry.type = unescapeDesktopValue(raw("Type"));
    entry.name = unescapeDesktopValue(raw("Name"));
    for (const std::string& locale : locales) {
        if (auto found = values.find("Name[" + locale + "]");
            found != values.end() && !found->second.empty()) {
            entry.name = unescapeDesktopValue(found->second);
            break;
        }
    }
    // The string escapes apply first; the Exec parser then applies its own quoting rules.
    entry.exec = unescapeDesktopValue(raw("Exec"));
    entry.tryExec = unescapeDesktopValue(raw("TryExec"));
    entry.path = unescapeDesktopValue(raw("Path"));
    entry.icon = unescapeDesktopValue(raw("Icon"));
    entry.startupWMClass = unescapeDesktopValue(raw("StartupWMClass"));
    entry.onlyShowIn = desktopListValue(raw("OnlyShowIn"));
    entry.notShowIn = desktopListValue(raw("NotShowIn"));
    entry.noDisplay = booleanValue(raw("NoDisplay"));
    entry.hidden = booleanValue(raw("Hidden"));
    entry.terminal = booleanValue(raw("Terminal"));
    return entry;
}

}  // namespace Apps
