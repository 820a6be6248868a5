#pragma once
// The records and the provider seam of the app catalog: what the system reports about running and
// installed applications, and the bitmap an application's icon is drawn from.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/messages/Types.h"

namespace Apps {

struct RunningAppInfo {
    enum class ActivationPolicy : std::uint8_t { regular, accessory, prohibited };
    std::optional<std::string> bundleID;
    std::optional<std::string> name;  // the localized name
    std::int32_t processID = 0;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;
    bool isActive = false;  // the frontmost application
    bool isHidden = false;
    std::optional<std::filesystem::path> bundleURL;
    bool operator==(const RunningAppInfo&) const = default;
};

struct InstalledAppInfo {
    std::string bundleID;
    std::string name;
    std::filesystem::path url;  // the desktop entry's file
    bool operator==(const InstalledAppInfo&) const = default;
};

enum class AppCatalogEvent : std::uint8_t { runningAppsChanged, installedAppsChanged };

struct AppCatalogUpdate {
    struct Running {
        std::vector<TrackpadProtocol::MacApp> apps;
        bool operator==(const Running&) const = default;
    };
    struct Installed {
        std::vector<TrackpadProtocol::MacApp> apps;
        bool operator==(const Installed&) const = default;
    };
    std::variant<Running, Installed> value;
    bool operator==(const AppCatalogUpdate&) const = default;
};

// An icon as the provider draws it: width x height pixels, RGBA with straight alpha (as PNG stores it),
// rows packed.
struct IconBitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    bool isValid() const {
        return width > 0 && height > 0 &&
               pixels.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    }
};

// What the system knows about applications. runningApplications, installedApplications and icon run on
// the caller's thread; installedApplications may be slow. start's handler is called on a queue of the
// provider's choosing whenever either list may have changed; after stop() no handler call follows.
class AppCatalogProvider {
  public:
    using Handler = std::function<void(AppCatalogEvent)>;
    virtual ~AppCatalogProvider() = default;
    virtual std::vector<RunningAppInfo> runningApplications() = 0;
    virtual std::vector<InstalledAppInfo> installedApplications() = 0;
    // The icon drawn for a square of pixelSize pixels; none when no such application is found.
    virtual std::optional<IconBitmap> icon(const std::string& bundleID, int pixelSize) = 0;
    virtual void start(Handler handler) = 0;
    virtual void stop() = 0;
};

// Leading and trailing whitespace and newlines removed (ASCII and the Unicode spaces of UTF-8).
std::string trimmedText(std::string_view text);
// ASCII-and-Unicode simple lowercase, for comparing bundle ids without case.
std::string lowercasedText(std::string_view text);

}  // namespace Apps
