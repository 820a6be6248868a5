#include "apps/SystemAppCatalogProvider.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "apps/IconImages.h"
#include "platform/Log.h"

namespace Apps {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "apps");

constexpr std::uint32_t folderEventMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                          IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                          IN_ONLYDIR;

double validDebounce(double value) {
    return value >= 0 ? value : 0;
}  // NaN fails the comparison
double validSettle(double value, double debounce) {
    return value >= debounce ? value : debounce;
}

std::chrono::microseconds microseconds(double seconds) {
    return std::chrono::microseconds(static_cast<std::int64_t>(std::min(seconds, 1e9) * 1e6));
}

std::string displayOrEnvironment(std::string name) {
    if (name.empty()) {
        if (const char* display = std::getenv("DISPLAY")) {
            name = display;
        }
    }
    return name;
}

}  // namespace

SystemAppCatalogProvider::SystemAppCatalogProvider(InstalledAppScanner scanner, double installedDebounce,
                                                   double installedSettleDelay, std::string displayName,
                                                   IconTheme iconTheme, IconRenderer iconRenderer)
    : scanner_(std::move(scanner)),
      installedDebounce_(validDebounce(installedDebounce)),
      installedSettleDelay_(validSettle(installedSettleDelay, installedDebounce_)),
      iconTheme_(std::move(iconTheme)),
      iconRenderer_(std::move(iconRenderer)),
      windows_(displayOrEnvironment(std::move(displayName))),
      inotify_{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)},
      iconRefusals_(logger, "more icons were not shown") {
    if (inotify_.fd >= 0) {
        queue_.post([this] {
            queue_.loop().watch(inotify_.fd, platform::EventLoop::readable,
                                [this, gone = gone_](std::uint32_t) {
                                    if (!*gone) {
                                        folderEvents();
                                    }
                                });
        });
    }
}

// The queue (the last member) is joined right after this, while every other member is still there;
// the inotify descriptor is closed after it, once its watch has gone with the loop.
SystemAppCatalogProvider::~SystemAppCatalogProvider() {
    gone_->store(true);
    stop();
}

SystemAppCatalogProvider::Descriptor::~Descriptor() {
    if (fd >= 0) {
        ::close(fd);
    }
}

// ---- Lists and icons ------------------------------------------------------------------------------

std::vector<InstalledAppScanner::Record> SystemAppCatalogProvider::records() {
    std::int64_t stamp = 0;
    bool cacheable = false;
    {
        std::lock_guard lock(mutex_);
        // Entries are cached only while the folders are watched: then any change moves the count.
        cacheable = watch_.delivery != nullptr;
        stamp = watch_.folderChanges;
        if (cacheable && recordCache_ && recordCache_->first == stamp) {
            return recordCache_->second;
        }
    }
    std::vector<InstalledAppScanner::Record> records = scanner_.records();
    if (cacheable) {
        std::lock_guard lock(mutex_);
        recordCache_.emplace(stamp, records);
    }
    return records;
}

std::vector<RunningApp> SystemAppCatalogProvider::runningAppsWithWindows() {
    std::vector<ClientWindow> clients = windows_.clients();
    if (clients.empty()) {
        return {};
    }
    return runningApps(clients, records());
}

std::vector<RunningAppInfo> SystemAppCatalogProvider::runningApplications() {
    std::vector<RunningAppInfo> out;
    for (RunningApp& app : runningAppsWithWindows()) {
        out.push_back(std::move(app.info));
    }
    return out;
}

std::vector<InstalledAppInfo> SystemAppCatalogProvider::installedApplications() {
    return scanner_.installedApplications();
}

std::optional<InstalledAppScanner::Record> SystemAppCatalogProvider::entry(const std::string& bundleID) {
    if (!InstalledAppScanner::isPlausibleID(bundleID)) {
        return std::nullopt;
    }
    std::vector<InstalledAppScanner::Record> all = records();
    for (InstalledAppScanner::Record& candidate : all) {
        if (candidate.id == bundleID) {
            return std::move(candidate);
        }
    }
    const std::string key = lowercasedText(bundleID);
    for (InstalledAppScanner::Record& candidate : all) {
        if (lowercasedText(candidate.id) == key) {
            return std::move(candidate);
        }
    }
    return std::nullopt;
}

std::optional<IconBitmap> SystemAppCatalogProvider::icon(const std::string& bundleID, int pixelSize) {
    if (pixelSize < 1 || !InstalledAppScanner::isPlausibleID(bundleID)) {
        return std::nullopt;
    }
    if (const std::optional<InstalledAppScanner::Record> record = entry(bundleID);
        record && !record->entry.icon.empty()) {
        if (const std::optional<std::filesystem::path> file =
                iconTheme_.find(record->entry.icon, pixelSize)) {
            std::string refusal;
            if (std::optional<IconBitmap> image =
                    loadIconFile(*file, pixelSize, iconRenderer_, &iconsStopped_, &refusal)) {
                return image;
            }
            if (!refusal.empty()) {
                iconRefusals_.notice(refusal);
            }
        }
    }
    // Otherwise the icon the first running instance shows on its windows.
    const std::string key = lowercasedText(bundleID);
    for (const RunningApp& app : runningAppsWithWindows()) {
        if (app.info.bundleID && lowercasedText(*app.info.bundleID) == key) {
            return windows_.windowIcon(app.windows, pixelSize);
        }
    }
    return std::nullopt;
}

// ---- Start and stop -------------------------------------------------------------------------------

void SystemAppCatalogProvider::start(Handler handler) {
    iconRenderer_.resume();
    iconsStopped_.store(false);
    std::map<std::string, FolderSource> taken;
    {
        std::lock_guard lock(mutex_);
        ++watch_.generation;
        watch_.installedPending = false;
        watch_.delivery.reset();
        taken = std::move(watch_.sources);
        watch_.sources.clear();
    }
    unregister(std::move(taken), true);
    auto delivery = std::make_shared<Delivery>();
    delivery->handler = std::move(handler);
    {
        std::lock_guard lock(mutex_);
        delivery->generation = ++watch_.generation;
        watch_.delivery = delivery;
        watch_.runningPending = false;
    }
    // Window changes come in bursts (a new window sets several properties); one report is queued at a
    // time, and it reads the list when it runs.
    windows_.watch([this, delivery] {
        {
            std::lock_guard lock(mutex_);
            if (watch_.runningPending || watch_.generation != delivery->generation) {
                return;
            }
            watch_.runningPending = true;
        }
        queue_.post([this, delivery, gone = gone_] {
            if (*gone) {
                return;
            }
            {
                std::lock_guard lock(mutex_);
                watch_.runningPending = false;
            }
            deliver(delivery, AppCatalogEvent::runningAppsChanged);
        });
    });
    refresh(delivery->generation);
}

void SystemAppCatalogProvider::stop() {
    // An icon being drawn or decoded is not waited for: a stop (the companion quitting) must not hang on it.
    iconRenderer_.stop();
    iconsStopped_.store(true);
    std::map<std::string, FolderSource> taken;
    {
        std::lock_guard lock(mutex_);
        ++watch_.generation;
        watch_.installedPending = false;
        watch_.delivery.reset();
        taken = std::move(watch_.sources);
        watch_.sources.clear();
    }
    unregister(std::move(taken), true);
}

void SystemAppCatalogProvider::unregister(std::map<std::string, FolderSource> sources, bool windows) {
    if (windows) {
        windows_.unwatch();
    }
    std::lock_guard lock(mutex_);
    for (const auto& [path, source] : sources) {
        cancelSource(source);
    }
}

void SystemAppCatalogProvider::cancelSource(const FolderSource& source) {
    auto users = watchUsers_.find(source.wd);
    if (users == watchUsers_.end()) {
        return;
    }
    if (--users->second == 0) {
        watchUsers_.erase(users);
        ::inotify_rm_watch(inotify_.fd, source.wd);  // fails harmlessly for a folder already gone
    }
}

std::vector<std::string> SystemAppCatalogProvider::watchedFolders() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& [path, source] : watch_.sources) {
        out.push_back(path);
    }
    return out;
}

// ---- Folder watch ---------------------------------------------------------------------------------

void SystemAppCatalogProvider::collectFolders(const std::filesystem::path& path, int depth,
                                              std::vector<std::filesystem::path>& out) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return;
    }
    out.push_back(path);
    if (depth >= scanner_.maxDepth()) {
        return;
    }
    std::error_code error;
    std::filesystem::directory_iterator entries(path, error);
    if (error) {
        return;
    }
    for (const std::filesystem::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.front() == '.') {
            continue;
        }
        std::error_code statusError;
        const std::filesystem::file_status status = entry.symlink_status(statusError);
        if (!statusError && std::filesystem::is_directory(status)) {  // links to folders are not entered
            collectFolders(entry.path(), depth + 1, out);
        }
    }
}

namespace {

bool isFolder(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// For each root that does not exist yet, its nearest existing ancestor and the name on the way down
// that would bring the root into being (~/.local/share "applications" on a fresh account).
std::map<std::string, std::set<std::string>> ancestorsOfMissing(
    const std::vector<std::filesystem::path>& roots) {
    std::map<std::string, std::set<std::string>> ancestors;
    for (const std::filesystem::path& root : roots) {
        std::filesystem::path path = root.lexically_normal();
        if (isFolder(path)) {
            continue;
        }
        while (path.has_relative_path() && path.has_filename()) {
            const std::filesystem::path parent = path.parent_path();
            if (isFolder(parent)) {
                ancestors[parent.string()].insert(path.filename().string());
                break;
            }
            path = parent;
        }
    }
    return ancestors;
}

}  // namespace

void SystemAppCatalogProvider::refresh(std::int64_t generation) {
    if (inotify_.fd < 0) {
        return;
    }
    // Folders that keep changing under the walk could make this go on for ever; a few passes catch
    // up with ordinary changes, and a later event refreshes again.
    for (int pass = 0; pass < maxRefreshPasses; ++pass) {
        std::vector<std::filesystem::path> folders;
        for (const std::filesystem::path& root : scanner_.directories()) {
            collectFolders(root, 0, folders);
        }
        // A root made after start is noticed through its parent, whose other changes are ignored.
        const std::map<std::string, std::set<std::string>> ancestors =
            ancestorsOfMissing(scanner_.directories());
        for (const auto& [ancestor, names] : ancestors) {
            folders.emplace_back(ancestor);
        }
        std::map<std::string, FolderSource> current;
        {
            std::lock_guard lock(mutex_);
            if (watch_.generation != generation) {
                return;
            }
            current = watch_.sources;
        }
        // Each folder is opened once and watched through its open descriptor, so the watch and the
        // recorded identity belong to the same folder even if the path is replaced meanwhile.
        std::map<std::string, FolderSource> fresh;
        std::map<std::string, bool> wanted;
        for (const std::filesystem::path& folder : folders) {
            const std::string key = folder.lexically_normal().string();
            struct stat info {};
            if (::stat(key.c_str(), &info) != 0) {
                continue;
            }
            wanted[key] = true;
            auto existing = current.find(key);
            if (existing != current.end() && existing->second.dev == info.st_dev &&
                existing->second.ino == info.st_ino) {
                continue;
            }
            const int fd = ::open(key.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            struct stat opened {};
            if (::fstat(fd, &opened) == 0) {
                const std::string procPath = "/proc/self/fd/" + std::to_string(fd);
                const int wd = ::inotify_add_watch(inotify_.fd, procPath.c_str(), folderEventMask);
                if (wd >= 0) {
                    fresh[key] = FolderSource{opened.st_dev, opened.st_ino, wd};
                }
            }
            ::close(fd);
        }
        std::vector<std::string> removed;
        for (const auto& [key, source] : current) {
            if (!wanted.contains(key)) {
                removed.push_back(key);
            }
        }
        bool changed = false;
        {
            std::lock_guard lock(mutex_);
            for (const auto& [key, source] : fresh) {
                ++watchUsers_[source.wd];
            }
            if (watch_.generation != generation) {
                for (const auto& [key, source] : fresh) {
                    cancelSource(source);
                }
                return;
            }
            for (const std::string& key : removed) {
                if (auto found = watch_.sources.find(key); found != watch_.sources.end()) {
                    cancelSource(found->second);
                    watch_.sources.erase(found);
                }
            }
            for (auto& [key, source] : fresh) {
                auto found = watch_.sources.find(key);
                if (found != watch_.sources.end() && found->second.dev == source.dev &&
                    found->second.ino == source.ino) {
                    cancelSource(source);
                    continue;
                }
                if (found != watch_.sources.end()) {
                    cancelSource(found->second);
                }
                watch_.sources[key] = source;
                changed = true;
            }
            ancestorNames_.clear();
            for (const auto& [ancestor, names] : ancestors) {
                if (auto found = watch_.sources.find(ancestor); found != watch_.sources.end()) {
                    ancestorNames_[found->second.wd] = names;
                }
            }
        }
        if (!changed) {
            return;
        }
    }
}

void SystemAppCatalogProvider::folderEvents() {
    // Drain the queue; the kinds of events do not matter (an overflow means some were lost, which a
    // full refresh and a report cover just the same).
    alignas(inotify_event) std::array<char, 16384> buffer;
    bool any = false;
    while (true) {
        const ssize_t got = ::read(inotify_.fd, buffer.data(), buffer.size());
        if (got <= 0) {
            break;
        }
        std::lock_guard lock(mutex_);
        for (ssize_t offset = 0; offset + ssize_t(sizeof(inotify_event)) <= got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + offset);
            offset += ssize_t(sizeof(inotify_event) + event->len);
            // In the parent of a missing root only that root's name, or the parent itself going, counts.
            const auto ancestor = ancestorNames_.find(event->wd);
            if (ancestor == ancestorNames_.end() ||
                (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) ||
                (event->len > 0 && ancestor->second.contains(event->name))) {
                any = true;
            }
        }
    }
    if (!any) {
        return;
    }
    std::shared_ptr<Delivery> delivery;
    {
        std::lock_guard lock(mutex_);
        delivery = watch_.delivery;
    }
    if (delivery) {
        folderChanged(delivery);
    }
}

void SystemAppCatalogProvider::folderChanged(const std::shared_ptr<Delivery>& delivery) {
    const std::int64_t generation = delivery->generation;
    refresh(generation);
    std::int64_t count = 0;
    bool wasPending = false;
    {
        std::lock_guard lock(mutex_);
        if (watch_.generation != generation) {
            return;
        }
        count = ++watch_.folderChanges;
        wasPending = watch_.installedPending;
        watch_.installedPending = true;
    }
    if (!wasPending) {
        queue_.schedule(microseconds(installedDebounce_), [this, delivery, gone = gone_] {
            if (*gone) {
                return;
            }
            {
                std::lock_guard lock(mutex_);
                if (watch_.generation == delivery->generation) {
                    watch_.installedPending = false;
                }
            }
            refresh(delivery->generation);
            if (!deliver(delivery, AppCatalogEvent::installedAppsChanged)) {
                return;
            }
            // Windows are matched to entries, so a new entry can name a window that was running.
            deliver(delivery, AppCatalogEvent::runningAppsChanged);
        });
    }
    queue_.schedule(microseconds(installedSettleDelay_), [this, delivery, count, gone = gone_] {
        if (*gone) {
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (watch_.folderChanges != count) {
                return;
            }
        }
        refresh(delivery->generation);
        if (!deliver(delivery, AppCatalogEvent::installedAppsChanged)) {
            return;
        }
        deliver(delivery, AppCatalogEvent::runningAppsChanged);
    });
}

bool SystemAppCatalogProvider::deliver(const std::shared_ptr<Delivery>& delivery, AppCatalogEvent event) {
    {
        std::lock_guard lock(mutex_);
        if (watch_.generation != delivery->generation) {
            return true;
        }
    }
    if (delivery->handler) {
        const std::shared_ptr<const std::atomic<bool>> gone = gone_;
        delivery->handler(event);
        return !*gone;
    }
    return true;
}

}  // namespace Apps
