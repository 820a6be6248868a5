#pragma once
// Finds the installed applications: walks the XDG application folders (in precedence order) a fixed
// depth down and reads each desktop entry. An entry's id (its path below the root, '/' made '-', without
// ".desktop") is the application's bundle id, so the first record of an id is the one that counts.
// Keeps no state: every call walks again.
//
// In place of background-only bundles, entries that are not shown are left out: Type other than
// Application, NoDisplay, Hidden, OnlyShowIn/NotShowIn against $XDG_CURRENT_DESKTOP, a TryExec
// program that cannot be found. Such an entry still hides entries of its id in later folders, as the
// desktop-entry rules say.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "apps/AppCatalogTypes.h"
#include "apps/DesktopEntry.h"

namespace Apps {

class InstalledAppScanner {
  public:
    struct Record {
        std::string id;
        std::filesystem::path path;
        DesktopEntry entry;
    };

    // $XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS entry's applications folder; depth 2.
    InstalledAppScanner();
    // maxDepth is clamped at 0 from below.
    InstalledAppScanner(std::vector<std::filesystem::path> directories, int maxDepth);

    const std::vector<std::filesystem::path>& directories() const { return directories_; }
    int maxDepth() const { return maxDepth_; }

    std::vector<InstalledAppInfo> installedApplications() const;
    // The shown entries with everything the provider and the launcher need, in walk order.
    std::vector<Record> records() const;

    // True when a phone's bundle id could name a desktop entry at all: 1 to 255 bytes, no '/', no "..",
    // no NUL. The id is only ever looked up, never made into a path, but it is refused early anyway.
    static bool isPlausibleID(std::string_view id);

  private:
    std::vector<std::filesystem::path> directories_;
    int maxDepth_;
};

// Whether a program name (or absolute path) names an executable file, looked up in $PATH.
bool programExists(const std::string& program);

}  // namespace Apps
