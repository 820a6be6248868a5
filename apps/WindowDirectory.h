#pragma once
// The top-level windows the window manager lists (EWMH), read on a connection of this object's own:
// their process ids, classes and desktop-file hints, which one is active and which are minimized;
// activation through _NET_ACTIVE_WINDOW client messages; and a thread that reports property changes
// of the list, the active window and the clients' states.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "apps/AppCatalogTypes.h"

namespace Apps {

struct ClientWindow {
    std::uint32_t window = 0;
    std::optional<pid_t> processID;
    std::string instanceName;   // WM_CLASS, first string
    std::string className;      // WM_CLASS, second string
    std::string applicationID;  // _GTK_APPLICATION_ID
    std::string desktopFile;    // _KDE_NET_WM_DESKTOP_FILE
    std::string title;
    bool isNormal = true;   // no window type, or _NET_WM_WINDOW_TYPE_NORMAL/_DIALOG
    bool isHidden = false;  // _NET_WM_STATE_HIDDEN
    bool isActive = false;
};

class WindowDirectory {
  public:
    // Connects to the named display (empty: $DISPLAY). Without a display, or without a window manager
    // that keeps the EWMH client list, the list is empty.
    explicit WindowDirectory(const std::string& displayName = {});
    ~WindowDirectory();
    WindowDirectory(const WindowDirectory&) = delete;
    WindowDirectory& operator=(const WindowDirectory&) = delete;

    bool isConnected() const;
    // The managed windows in the manager's order. Thread-safe.
    std::vector<ClientWindow> clients();
    // Brings one of the windows to the front, un-minimizing it first; waits up to `timeout` seconds for
    // the window manager to make one of them active. Thread-safe.
    bool activate(const std::vector<std::uint32_t>& windows, double timeout = 2.0);
    // The icon a window publishes itself (_NET_WM_ICON), of the first window that has one: the smallest
    // image at least `size` pixels wide, else the largest. Images over 1024 pixels a side are ignored.
    std::optional<IconBitmap> windowIcon(const std::vector<std::uint32_t>& windows, int size);

    // Calls `changed` on the directory's own thread after each change of the list, the active window or
    // a client's state, until unwatch(); every change after watch() returns is seen. One watcher at a
    // time; a new watch replaces the old one.
    void watch(std::function<void()> changed);
    void unwatch();

  private:
    struct Connection;
    void eventLoop(int stopFD, std::promise<void>& selectedEvents);

    std::string displayName_;
    std::mutex mutex_;  // guards query_
    std::unique_ptr<Connection> query_;
    std::mutex watchMutex_;  // guards the watch thread's start and stop
    std::thread thread_;
    int stopFD_ = -1;
    std::shared_ptr<std::function<void()>> changed_;
};

}  // namespace Apps
