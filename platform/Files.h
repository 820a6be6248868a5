#pragma once
// File helpers: atomic replacement of a file's contents and the XDG base directories.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace platform {

// Writes `bytes` to `path` atomically: a temporary file in the same folder, fsync, rename over the old
// file, fsync of the folder. A crash at any point leaves either the old or the new contents. The file
// gets `mode` when given, else the old file's permissions, else 0644. Throws std::system_error when the
// new contents could not be put in place; the old file is then untouched and no temporary file is left
// behind. A symbolic link at `path` is replaced by the file, not followed.
void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                         std::optional<std::filesystem::perms> mode = std::nullopt);
void writeFileAtomically(const std::filesystem::path& path, std::string_view text,
                         std::optional<std::filesystem::perms> mode = std::nullopt);

// Reads a whole file; none when it does not exist; throws std::system_error on other failures.
std::optional<std::vector<std::uint8_t>> readFile(const std::filesystem::path& path);

// $XDG_DATA_HOME or ~/.local/share; $XDG_CONFIG_HOME or ~/.config; $XDG_RUNTIME_DIR or none.
// A relative value of the variable is ignored, as the base-directory rules say. ~ is $HOME when it is
// absolute, else the home folder of the user's passwd entry.
std::filesystem::path xdgDataHome();
std::filesystem::path xdgConfigHome();
std::optional<std::filesystem::path> xdgRuntimeDir();
// $XDG_DATA_DIRS or /usr/local/share:/usr/share (also when no entry of the variable is absolute).
std::vector<std::filesystem::path> xdgDataDirs();

}  // namespace platform
