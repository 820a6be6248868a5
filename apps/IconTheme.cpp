#include "apps/IconTheme.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unordered_map>

#include "apps/DesktopEntry.h"
#include "platform/Files.h"

namespace Apps {

namespace {

constexpr const char* extensions[] = {".png", ".svg", ".xpm"};

struct ThemeFolder {
    std::string path;
    int size = 0;
    int scale = 1;
    int minSize = 0;
    int maxSize = 0;
    int threshold = 2;
    enum class Kind { fixed, scalable, threshold } kind = Kind::threshold;

    bool matches(int wanted) const {
        switch (kind) {
            case Kind::fixed:
                return size == wanted;
            case Kind::scalable:
                return minSize <= wanted && wanted <= maxSize;
            case Kind::threshold:
                return size - threshold <= wanted && wanted <= size + threshold;
        }
        return false;
    }
    int distance(int wanted) const {
        switch (kind) {
            case Kind::fixed:
                return std::abs(size - wanted);
            case Kind::scalable:
                return wanted < minSize ? minSize - wanted : (wanted > maxSize ? wanted - maxSize : 0);
            case Kind::threshold:
                return wanted < size - threshold
                           ? size - threshold - wanted
                           : (wanted > size + threshold ? wanted - size - threshold : 0);
        }
        return INT_MAX;
    }
};

struct ThemeIndex {
    std::vector<ThemeFolder> folders;
    std::vector<std::string> inherits;
};

bool isFile(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

int number(const std::map<std::string, std::string>& group, const std::string& key, int fallback) {
    auto found = group.find(key);
    if (found == group.end()) {
        return fallback;
    }
    char* end = nullptr;
    const long value = std::strtol(found->second.c_str(), &end, 10);
    return end == found->second.c_str() || value < 0 || value > 100000 ? fallback : static_cast<int>(value);
}

std::optional<ThemeIndex> readIndex(const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in) {
        return std::nullopt;
    }
    std::map<std::string, std::map<std::string, std::string>> groups;
    std::string line;
    std::string group;
    std::size_t lines = 0;
    while (std::getline(in, line) && ++lines < 100000) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            group = line.substr(1, line.size() - 2);
            continue;
        }
        if (auto equals = line.find('='); equals != std::string::npos) {
            std::string key = line.substr(0, equals);
            while (!key.empty() && key.back() == ' ') {
                key.pop_back();
            }
            std::string value = line.substr(equals + 1);
            while (!value.empty() && value.front() == ' ') {
                value.erase(0, 1);
            }
            groups[group].try_emplace(key, value);
        }
    }
    const auto& theme = groups["Icon Theme"];
    ThemeIndex index;
    if (auto found = theme.find("Inherits"); found != theme.end()) {
        for (std::string& name : desktopListValue(found->second)) {
            for (std::size_t start = 0; start <= name.size();) {  // commas separate the names
                const std::size_t comma = name.find(',', start);
                std::string item = name.substr(start, comma - start);
                if (!item.empty()) {
                    index.inherits.push_back(item);
                }
                if (comma == std::string::npos) {
                    break;
                }
                start = comma + 1;
            }
        }
    }
    if (auto found = theme.find("Directories"); found != theme.end()) {
        std::string list = found->second;
        std::stringstream stream(list);
        std::string name;
        while (std::getline(stream, name, ',')) {
            if (name.empty() || name.find("..") != std::string::npos) {
                continue;
            }
            const auto& settings = groups[name];
            ThemeFolder folder;
            folder.path = name;
            folder.size = number(settings, "Size", 0);
            folder.scale = number(settings, "Scale", 1);
            folder.minSize = number(settings, "MinSize", folder.size);
            folder.maxSize = number(settings, "MaxSize", folder.size);
            folder.threshold = number(settings, "Threshold", 2);
            auto type = settings.find("Type");
            const std::string kind = type == settings.end() ? "Threshold" : type->second;
            folder.kind = kind == "Fixed"      ? ThemeFolder::Kind::fixed
                          : kind == "Scalable" ? ThemeFolder::Kind::scalable
                                               : ThemeFolder::Kind::threshold;
            if (folder.size > 0 && folder.scale == 1) {
                index.folders.push_back(std::move(folder));
            }
        }
    }
    return index;
}

std::string configuredTheme() {
    std::ifstream in(platform::xdgConfigHome() / "gtk-3.0" / "settings.ini");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("gtk-icon-theme-name")) {
            if (auto equals = line.find('='); equals != std::string::npos) {
                std::string value = line.substr(equals + 1);
                std::erase(value, ' ');
                std::erase(value, '"');
                if (!value.empty() && value.find('/') == std::string::npos && value != "..") {
                    return value;
                }
            }
        }
    }
    return "hicolor";
}

}  // namespace

IconTheme::IconTheme() : themeName_(configuredTheme()) {
    baseFolders_.push_back(platform::xdgDataHome() / "icons");
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        baseFolders_.push_back(std::filesystem::path(home) / ".icons");
    }
    for (const std::filesystem::path& dir : platform::xdgDataDirs()) {
        baseFolders_.push_back(dir / "icons");
        pixmapFolders_.push_back(dir / "pixmaps");
    }
    pixmapFolders_.push_back("/usr/share/pixmaps");
}

IconTheme::IconTheme(std::vector<std::filesystem::path> baseFolders,
                     std::vector<std::filesystem::path> pixmapFolders, std::string themeName)
    : baseFolders_(std::move(baseFolders)),
      pixmapFolders_(std::move(pixmapFolders)),
      themeName_(std::move(themeName)) {}

std::optional<std::filesystem::path> IconTheme::find(const std::string& icon, int size) const {
    if (icon.empty() || icon.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    if (icon.front() == '/') {
        return isFile(icon) ? std::optional<std::filesystem::path>(icon) : std::nullopt;
    }
    if (icon.find('/') != std::string::npos || icon.find("..") != std::string::npos || icon.size() > 255) {
        return std::nullopt;
    }
    std::string name = icon;
    for (const char* extension : extensions) {  // old entries name the file
        if (name.ends_with(extension)) {
            name.resize(name.size() - std::string_view(extension).size());
        }
    }
    // The theme, what it inherits (breadth first), then hicolor; each theme once.
    std::vector<std::string> themes{themeName_};
    std::set<std::string> seen{themeName_};
    for (std::size_t i = 0; i < themes.size() && i < 32; ++i) {
        std::optional<ThemeIndex> index;
        std::vector<std::filesystem::path> themeFolders;
        for (const std::filesystem::path& base : baseFolders_) {
            const std::filesystem::path folder = base / themes[i];
            if (!index) {
                index = readIndex(folder / "index.theme");
            }
            themeFolders.push_back(folder);
        }
        if (index) {
            for (const std::string& parent : index->inherits) {
                if (parent.find('/') == std::string::npos && seen.insert(parent).second) {
                    themes.push_back(parent);
                }
            }
        }
        // Even a theme that is missing, or inherits only missing ones, ends in hicolor.
        if (i + 1 == themes.size() && seen.insert("hicolor").second) {
            themes.push_back("hicolor");
        }
        if (!index) {
            continue;
        }
        std::optional<std::filesystem::path> closest;
        int closestDistance = INT_MAX;
        for (const ThemeFolder& folder : index->folders) {
            for (const std::filesystem::path& themeFolder : themeFolders) {
                for (const char* extension : extensions) {
                    const std::filesystem::path candidate = themeFolder / folder.path / (name + extension);
                    if (!isFile(candidate)) {
                        continue;
                    }
                    if (folder.matches(size)) {
                        return candidate;
                    }
                    if (const int distance = folder.distance(size); distance < closestDistance) {
                        closestDistance = distance;
                        closest = candidate;
                    }
                }
            }
        }
        if (closest) {
            return closest;
        }
    }
    for (const std::filesystem::path& folder : pixmapFolders_) {
        for (const char* extension : extensions) {
            if (const std::filesystem::path candidate = folder / (name + extension); isFile(candidate)) {
                return candidate;
            }
        }
    }
    return std::nullopt;
}

}  // namespace Apps
