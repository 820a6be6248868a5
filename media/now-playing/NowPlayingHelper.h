#pragma once
// Runs the now-playing helper, a small program of ours that prints one JSON line on its standard
// output whenever what plays changes, and turns its lines into readings:
//   {"unsupported":true}   no session bus: the helper ends and is not started again (until the next
//                          start of the provider);
//   {"title":…,"artist":…,"artwork":…}   a track (artwork as standard Base64, possibly empty);
//   {}                     nothing plays;
//   the empty line         keep-alive after 5 s of quiet.
// A child that ends for any reason is reported as unavailable and started again after the restart delay.
//
// Thread: everything on the loop it is given (the provider's queue); own it through a std::shared_ptr
// and release it on that loop's thread.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "media/now-playing/NowPlaying.h"
#include "platform/EventLoop.h"

namespace media {

class NowPlayingHelper : public std::enable_shared_from_this<NowPlayingHelper> {
  public:
    using OnReading = std::function<void(const NowPlayingReading&)>;

    struct Unsupported {
        friend bool operator==(Unsupported, Unsupported) { return true; }
    };
    struct Ignored {
        friend bool operator==(Ignored, Ignored) { return true; }
    };
    using Line = std::variant<NowPlayingReading, Unsupported, Ignored>;

    static constexpr double minimumInterval = 0.2;
    static constexpr double minimumRestartDelay = 0.1;
    // A line longer than this is dropped up to its end: a child that never ends a line cannot make the
    // buffer grow without limit. The helper's artwork is already scaled, so real lines are far shorter.
    static constexpr std::size_t maximumLineBytes = 1024 * 1024;
    static constexpr const char* executableName = "lumivex-now-playing";

    // The helper program beside this process's own executable (/proc/self/exe).
    static std::filesystem::path defaultExecutable();
    // None when `executable` is not an executable file. The interval is raised to at least 0.2 s, the
    // restart delay to at least 0.1 s and the pixel size to at least 32.
    static std::shared_ptr<NowPlayingHelper> make(const std::filesystem::path& executable,
                                                  int artworkPixelSize, double interval, double restartDelay);
    // Runs `command` (argv, the program first, not through a shell) as the child: for tests.
    NowPlayingHelper(std::vector<std::string> command, double restartDelay);
    ~NowPlayingHelper();
    NowPlayingHelper(const NowPlayingHelper&) = delete;
    NowPlayingHelper& operator=(const NowPlayingHelper&) = delete;

    // The provider's order: stop, setLoop, setOnReading, launch.
    void setLoop(platform::EventLoop* loop) { loop_ = loop; }
    void setOnReading(OnReading onReading) { onReading_ = std::move(onReading); }
    // Starts the child when a loop and a callback are set.
    void launch();
    void stop();

    static Line parse(std::string_view line);
    // Standard Base64 with padding, nothing else allowed; none when invalid.
    static std::optional<Data> decodeBase64(std::string_view text);

    const std::vector<std::string>& command() const { return command_; }
    // The running child's process id, for tests.
    std::optional<pid_t> childProcess() const;

  private:
    struct Child;

    void consume(const char* data, std::size_t size);
    void readOutput(std::uint64_t generation);
    void processEnded(std::uint64_t generation);
    void scheduleRestart(std::uint64_t generation);
    void report(const NowPlayingReading& reading);
    // Ends the child: its output is no longer read; it is terminated and reaped in the background.
    void endChild();
    void reap(std::shared_ptr<Child> child, bool kill);

    std::vector<std::string> command_;
    double restartDelay_;
    platform::EventLoop* loop_ = nullptr;
    OnReading onReading_;
    std::shared_ptr<Child> process_;
    std::vector<std::shared_ptr<Child>> ending_;
    std::string buffer_;
    bool discarding_ = false;
    std::uint64_t generation_ = 0;
    platform::Executor::TimerID restartTimer_ = 0;
};

}  // namespace media
