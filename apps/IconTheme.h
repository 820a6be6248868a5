#pragma once
// Finds an icon file by the icon theme rules: the user's theme (GTK's setting, else hicolor), the
// themes it inherits, hicolor, then the pixmaps folder; within a theme the folder whose size matches,
// else the closest one; PNG, then SVG, then XPM. An Icon value that is an absolute path is used as it
// is; any other value holding '/' or ".." is refused.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace Apps {

class IconTheme {
  public:
    // Base folders in order: $XDG_DATA_HOME/icons, ~/.icons, each $XDG_DATA_DIRS/icons, then pixmaps
    // folders; the theme from $XDG_CONFIG_HOME/gtk-3.0/settings.ini, else "hicolor".
    IconTheme();
    IconTheme(std::vector<std::filesystem::path> baseFolders,
              std::vector<std::filesystem::path> pixmapFolders, std::string themeName);

    std::optional<std::filesystem::path> find(const std::string& icon, int size) const;

  private:
    std::vector<std::filesystem::path> baseFolders_;
    std::vector<std::filesystem::path> pixmapFolders_;
    std::string themeName_;
};

}  // namespace Apps
