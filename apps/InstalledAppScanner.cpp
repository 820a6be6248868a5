#include "apps/InstalledAppScanner.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <unordered_set>

#include "apps/AppOrder.h"
#include "protocol/messages/Types.h"
#include "platform/Files.h"

namespace Apps {

namespace {

struct Listing {
    std::string name;
    bool isDirectory = false;  // a real folder, not a link to one
    bool isFile = false;       // a regular file, links followed
};

// Reads a small regular file through its descriptor, links followed; none when it is anything else
// or longer than the limit.
std::optional<std::string> readSmallFile(int dirFD, const std::string& name) {
    const int fd = ::openat(dirFD, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::optional<std::string> text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::size_t>(info.st_size) <= maxDesktopFileBytes) {
        std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
        std::size_t filled = 0;
        while (filled < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + filled, bytes.size() - filled);
            if (got <= 0) {
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        bytes.resize(filled);
        text = std::move(bytes);
    }
    ::close(fd);
    return text;
}

std::vector<std::string> currentDesktops() {
    std::vector<std::string> desktops;
    if (const char* value = std::getenv("XDG_CURRENT_DESKTOP")) {
        std::string_view list = value;
        while (!list.empty()) {
            const std::size_t colon = list.find(':');
            std::string_view item = list.substr(0, colon);
            if (!item.empty()) {
                desktops.emplace_back(item);
            }
            list = colon == std::string_view::npos ? std::string_view{} : list.substr(colon + 1);
        }
    }
    return desktops;
}

bool isShown(const DesktopEntry& entry, const std::vector<std::string>& desktops) {
    if (entry.type != "Application" || entry.noDisplay || entry.hidden) {
        return false;
    }
    const auto anyCurrent = [&](const std::vector<std::string>& list) {
        return std::any_of(desktops.begin(), desktops.end(), [&](const std::string& desktop) {
            return std::find(list.begin(), list.end(), desktop) != list.end();
        });
    };
    if (!entry.onlyShowIn.empty() && !anyCurrent(entry.onlyShowIn)) {
        return false;
    }
    if (anyCurrent(entry.notShowIn)) {
        return false;
    }
    return entry.tryExec.empty() || programExists(entry.tryExec);
}

struct Walk {
    const AppOrder& order;
    const std::vector<std::string>& locales;
    const std::vector<std::string>& desktops;
    int maxDepth;
    std::unordered_set<std::string>& seenIDs;  // ids of every readable entry met so far
    std::vector<InstalledAppScanner::Record>& out;

    void folder(int dirFD, const std::filesystem::path& path, const std::string& idPrefix, int depth) {
        std::vector<Listing> entries;
        const int listFD = ::dup(dirFD);
        if (listFD < 0) {
            return;
        }
        DIR* dir = ::fdopendir(listFD);
        if (dir == nullptr) {
            ::close(listFD);
            return;
        }
        while (const dirent* item = ::readdir(dir)) {
            if (item->d_name[0] == '.') {
                continue;  // hidden, and . and ..
            }
            Listing listing{item->d_name};
            struct stat info {};
            if (::fstatat(dirFD, item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            if (S_ISDIR(info.st_mode)) {
                listing.isDirectory = true;
            } else if (S_ISLNK(info.st_mode)) {
                struct stat target {};
                listing.isFile = ::fstatat(dirFD, item->d_name, &target, 0) == 0 && S_ISREG(target.st_mode);
            } else {
                listing.isFile = S_ISREG(info.st_mode);
            }
            entries.push_back(std::move(listing));
        }
        ::closedir(dir);

        std::vector<std::string> keys;
        keys.reserve(entries.size());
        for (const Listing& listing : entries) {
            keys.push_back(order.sortKey(listing.name));
        }
        std::vector<std::size_t> indices(entries.size());
        std::iota(indices.begin(), indices.end(), 0);
        std::stable_sort(indices.begin(), indices.end(),
                         [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });

        for (std::size_t index : indices) {
            const Listing& listing = entries[index];
            if (listing.isFile && listing.name.size() > 8 && listing.name.ends_with(".desktop")) {
                entry(dirFD, path, idPrefix, listing.name);
            } else if (listing.isDirectory && depth < maxDepth) {
                const int childFD =
                    ::openat(dirFD, listing.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (childFD >= 0) {
                    folder(childFD, path / listing.name, idPrefix + listing.name + "-", depth + 1);
                    ::close(childFD);
                }
            }
        }
    }

    void entry(int dirFD, const std::filesystem::path& path, const std::string& idPrefix,
               const std::string& name) {
        std::string id = idPrefix + name.substr(0, name.size() - 8);
        // The id travels to the phone as text and comes back to name the entry, so a file name that is
        // not UTF-8 can be neither sent nor repaired: the entry is left out, not the whole list.
        if (!TrackpadProtocol::isValidUTF8(id)) {
            return;
        }
        if (seenIDs.contains(id)) {
            return;  // an earlier folder's entry of this id takes precedence, shown or not
        }
        std::optional<std::string> text = readSmallFile(dirFD, name);
        if (!text) {
            return;
        }
        std::optional<DesktopEntry> parsed = parseDesktopEntry(*text, locales);
        if (!parsed) {
            return;
        }
        seenIDs.insert(id);
        if (!isShown(*parsed, desktops)) {
            return;
        }
        out.push_back(InstalledAppScanner::Record{std::move(id), path / name, std::move(*parsed)});
    }
};

}  // namespace

bool programExists(const std::string& program) {
    if (program.empty()) {
        return false;
    }
    if (program.find('/') != std::string::npos) {
        return program.front() == '/' && ::access(program.c_str(), X_OK) == 0;
    }
    const char* pathValue = std::getenv("PATH");
    std::string_view list = pathValue != nullptr ? pathValue : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const std::size_t colon = list.find(':');
        std::string_view folder = list.substr(0, colon);
        if (!folder.empty()) {
            const std::string candidate = std::string(folder) + "/" + program;
            struct stat info {};
            if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                ::access(candidate.c_str(), X_OK) == 0) {
                return true;
            }
        }
        if (colon == std::string_view::npos) {
            return false;
        }
        list.remove_prefix(colon + 1);
    }
}

InstalledAppScanner::InstalledAppScanner() : maxDepth_(2) {
    directories_.push_back(platform::xdgDataHome() / "applications");
    for (const std::filesystem::path& dir : platform::xdgDataDirs()) {
        directories_.push_back(dir / "applications");
    }
}

InstalledAppScanner::InstalledAppScanner(std::vector<std::filesystem::path> directories, int maxDepth)
    : directories_(std::move(directories)), maxDepth_(std::max(0, maxDepth)) {}

std::vector<InstalledAppScanner::Record> InstalledAppScanner::records() const {
    static const AppOrder order;
    const std::vector<std::string> locales = messageLocales();
    const std::vector<std::string> desktops = currentDesktops();
    std::unordered_set<std::string> seenIDs;
    std::vector<Record> out;
    for (const std::filesystem::path& root : directories_) {
        // A root listed twice adds nothing the second time: its ids are already taken.
        const int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        Walk walk{order, locales, desktops, maxDepth_, seenIDs, out};
        walk.folder(fd, root, "", 0);
        ::close(fd);
    }
    return out;
}

std::vector<InstalledAppInfo> InstalledAppScanner::installedApplications() const {
    std::vector<InstalledAppInfo> apps;
    for (Record& record : records()) {
        std::string name = trimmedText(record.entry.name).empty() ? record.path.stem().string()
                                                                  : std::move(record.entry.name);
        apps.push_back(InstalledAppInfo{std::move(record.id), std::move(name), std::move(record.path)});
    }
    return apps;
}

bool InstalledAppScanner::isPlausibleID(std::string_view id) {
    return !id.empty() && id.size() <= 255 && id.find('/') == std::string_view::npos &&
           id.find("..") == std::string_view::npos && id.find('\0') == std::string_view::npos;
}

}  // namespace Apps
