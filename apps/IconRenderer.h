#pragma once
// SVG and XPM icons are drawn by a short-lived helper program of ours, never inside the companion: the
// system's SVG library can abort the process on crafted filters, and any drawing may take more memory or
// time than an icon is worth. The helper limits itself (address space, CPU time, no core file, no file
// written) before it reads anything, and is killed when it has not answered within the time-out. A crash,
// a time-out or an answer of the wrong size is "no icon".
//
// The helper's protocol: argv [program, side]; standard input the icon file's bytes; standard output
// the width and height (4 bytes each, little-endian) and then width * height straight RGBA pixels, each
// side at most `side`. Exit status 0 when it drew, anything else when not.
//
// A renderer's copies share one set of running helpers: stop(), from any thread, kills those drawing
// now and makes every render until resume() answer "no icon" at once.
//
// Thread: any; render blocks the calling thread until the helper has ended.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "apps/AppCatalogTypes.h"

namespace Apps {

namespace IconHelperLimits {
// Address space of the whole helper, its libraries' mappings included; a drawing needing more fails.
// An icon of 256 pixels is drawn within 128 MiB, one of the largest side allowed (4096) within 256 MiB.
inline constexpr std::uint64_t addressSpaceBytes = 512ull * 1024 * 1024;
inline constexpr int cpuSeconds = 4;
}  // namespace IconHelperLimits

class IconRenderer {
  public:
    static constexpr const char* executableName = "lumivex-icon-render";
    static constexpr std::chrono::milliseconds defaultTimeout{5000};

    // The helper program beside this process's own executable (/proc/self/exe).
    static IconRenderer besideProgram();
    explicit IconRenderer(std::filesystem::path executable,
                          std::chrono::milliseconds timeout = defaultTimeout);
    // Runs `command` (argv, the program first, not through a shell) with the side appended: for tests.
    IconRenderer(std::vector<std::string> command, std::chrono::milliseconds timeout);

    // The icon drawn by the helper, at most `side` pixels a side; none when the helper is missing, fails,
    // crashes, runs out of time or answers with anything but a well-formed image.
    std::optional<IconBitmap> render(std::span<const std::uint8_t> bytes, int side) const;

    // Kills the helpers drawing now (their renders answer "no icon") and refuses new ones until resume().
    void stop() const;
    void resume() const;

    const std::vector<std::string>& command() const { return command_; }

  private:
    struct Helpers;

    std::vector<std::string> command_;
    std::chrono::milliseconds timeout_;
    std::shared_ptr<Helpers> helpers_;
};

}  // namespace Apps
