#pragma once
// The system's app catalog provider: running applications from the window manager's client list,
// installed ones from the scanner, icons from the icon themes, and change reports: property changes of
// the client list, the active window and the clients' states become runningAppsChanged; inotify events
// in the application folders (the scanner's roots and plain subfolders to its depth) become
// installedAppsChanged about `installedDebounce` seconds after the first event of a burst and once
// more `installedSettleDelay` seconds after the last.
//
// Threads: the provider's own queue, an event loop on a thread labelled
// "dev.quelmar.trackpad.mac.apps" (platform::LoopQueue), runs folder events, both timers and every handler
// call. The running list, the scan and icons run on the caller's thread; stop() kills an icon helper
// still drawing and stops an icon file's decode, and icons drawn by a helper or decoded are none until
// the next start(). One mutex guards the watch state; it is never held while walking folders, calling
// the handler or stopping the window watch.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "apps/AppCatalogTypes.h"
#include "apps/IconRenderer.h"
#include "apps/IconTheme.h"
#include "apps/InstalledAppScanner.h"
#include "apps/RunningApps.h"
#include "apps/WindowDirectory.h"
#include "platform/BudgetedNotices.h"
#include "platform/LoopQueue.h"

namespace Apps {

class SystemAppCatalogProvider final : public AppCatalogProvider {
  public:
    static constexpr const char* queueLabel = "dev.quelmar.trackpad.mac.apps";
    static constexpr int maxRefreshPasses = 8;

    // A negative or NaN debounce is 0; a settle delay below the debounce (or NaN) is the debounce.
    // The display is $DISPLAY when empty.
    SystemAppCatalogProvider(InstalledAppScanner scanner, double installedDebounce,
                             double installedSettleDelay, std::string displayName = {},
                             IconTheme iconTheme = IconTheme(),
                             IconRenderer iconRenderer = IconRenderer::besideProgram());
    ~SystemAppCatalogProvider() override;
    SystemAppCatalogProvider(const SystemAppCatalogProvider&) = delete;
    SystemAppCatalogProvider& operator=(const SystemAppCatalogProvider&) = delete;

    std::vector<RunningAppInfo> runningApplications() override;
    std::vector<InstalledAppInfo> installedApplications() override;
    std::optional<IconBitmap> icon(const std::string& bundleID, int pixelSize) override;
    void start(Handler handler) override;
    void stop() override;

    double installedDebounce() const { return installedDebounce_; }
    double installedSettleDelay() const { return installedSettleDelay_; }
    // The folders watched now (for tests).
    std::vector<std::string> watchedFolders() const;
    // The running applications with their windows, for the launch system.
    std::vector<RunningApp> runningAppsWithWindows();
    // The shown desktop entry of an id (exact, else without case), from the entries cached while the
    // folders are watched; none for an id that could not name one.
    std::optional<InstalledAppScanner::Record> entry(const std::string& bundleID);

  private:
    struct FolderSource {
        dev_t dev = 0;
        ino_t ino = 0;
        int wd = -1;
    };
    struct Delivery {
        std::int64_t generation = 0;
        Handler handler;
    };
    struct Watch {
        std::int64_t generation = 0;
        std::map<std::string, FolderSource> sources;
        std::shared_ptr<Delivery> delivery;  // of the live start; none when stopped
        bool installedPending = false;
        std::int64_t folderChanges = 0;
        bool runningPending = false;
    };

    void unregister(std::map<std::string, FolderSource> sources, bool windows);
    void collectFolders(const std::filesystem::path& path, int depth,
                        std::vector<std::filesystem::path>& out) const;
    void refresh(std::int64_t generation);
    void cancelSource(const FolderSource& source);  // with mutex_ held
    void folderEvents();
    void folderChanged(const std::shared_ptr<Delivery>& delivery);
    // False when the handler let go of the provider: nothing of it may be touched any more.
    bool deliver(const std::shared_ptr<Delivery>& delivery, AppCatalogEvent event);
    std::vector<InstalledAppScanner::Record> records();

    const InstalledAppScanner scanner_;
    const double installedDebounce_;
    const double installedSettleDelay_;
    const IconTheme iconTheme_;
    const IconRenderer iconRenderer_;
    WindowDirectory windows_;
    struct Descriptor {
        int fd = -1;
        ~Descriptor();
    };
    Descriptor inotify_;  // outlives the queue, whose loop watches it

    mutable std::mutex mutex_;
    Watch watch_;
    std::map<int, int> watchUsers_;  // inotify watch descriptor -> folders using it
    // Watches of the nearest existing parents of missing roots -> the names that would make a root.
    std::map<int, std::set<std::string>> ancestorNames_;
    std::optional<std::pair<std::int64_t, std::vector<InstalledAppScanner::Record>>> recordCache_;
    // A phone may ask for an icon in every size at will.
    platform::BudgetedNotices iconRefusals_;
    // Raised by stop(), lowered by start(): icon files' decodes under way give up.
    std::atomic<bool> iconsStopped_{false};

    // Set as the provider goes. A handler may let go of its last owner (a catalog's owner dropping the
    // catalog), and the provider then goes on its own queue, inside that call: the queue's thread ends by
    // itself, and neither the task under way nor what is still queued may touch the provider from then on.
    const std::shared_ptr<std::atomic<bool>> gone_ = std::make_shared<std::atomic<bool>>(false);
    // Last, so it is torn down first: what it still runs finds every other member in place (unless it
    // goes on the queue itself, see gone_).
    platform::LoopQueue queue_{queueLabel};
};

}  // namespace Apps
