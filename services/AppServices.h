#pragma once
// The applications of the computer: the catalog of running and installed ones (lists and icons for the
// phone) and the launcher that opens one.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/messages/Message.h"
#include "protocol/messages/Types.h"

namespace Shell {

struct AppCatalogUpdate {
    TrackpadProtocol::AppListKind kind = TrackpadProtocol::AppListKind::running;
    std::vector<TrackpadProtocol::MacApp> apps;
    bool operator==(const AppCatalogUpdate&) const = default;
};

class AppCatalogService {
  public:
    // Called on any thread, never the main queue's caller's stack.
    using ChangeHandler = std::function<void(AppCatalogUpdate)>;

    // What the runtime builds the catalog with.
    struct Options {
        std::set<std::string> excludedBundleIDs;  // the companion's own desktop id
        std::optional<std::int32_t> excludedProcessID;
        std::size_t iconByteBudget = 61440;
        ChangeHandler onChange;
    };

    virtual ~AppCatalogService() = default;

    // Main queue. Starts watching and takes the first list; the catalog can be started again after stop.
    virtual void start() = 0;
    virtual void stop() = 0;
    // Any thread: the running applications, filtered and sorted.
    virtual std::vector<TrackpadProtocol::MacApp> runningApps() = 0;
    // The runtime's app-answers queue (may block): the answer to appsRequest or appIconRequest; none for
    // any other message.
    virtual std::optional<std::vector<TrackpadProtocol::Message>> answer(
        const TrackpadProtocol::Message& message) = 0;
};

class AppLaunchService {
  public:
    using Completion = std::function<void(TrackpadProtocol::OpenAppResult)>;

    virtual ~AppLaunchService() = default;

    // Main queue. The id comes from a phone: only a known application is opened, never through a shell.
    // `done` is called exactly once, on any thread, with the trimmed id and opened, notInstalled or failed.
    virtual void open(const std::string& bundleID, Completion done) = 0;
    // Main queue. The trimmed name of a running application with this id, if one runs.
    virtual std::optional<std::string> runningName(const std::string& bundleID) = 0;
    // Main queue. The installed application's display name, if it is installed.
    virtual std::optional<std::string> installedName(const std::string& bundleID) = 0;
};

}  // namespace Shell
