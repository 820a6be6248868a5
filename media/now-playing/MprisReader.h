#pragma once
// Reads what plays from the media players on the session bus (MPRIS): the players are the names
// under "org.mpris.MediaPlayer2."; a playing one is chosen first, else the one paused most recently
// (the one last seen playing), else nothing plays. Every call has a time-out, and the players are
// asked at once, so a player that hangs costs one time-out and never blocks the caller's queue.
//
// Thread: the connection's thread (the loop it is attached to); answers arrive there.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "media/now-playing/NowPlaying.h"
#include "platform/DBus.h"

namespace media {

// What one player says of its current item.
struct MprisTrack {
    std::string player;  // bus name
    std::string trackID;
    NowPlayingInfo info;  // without artwork
    std::optional<std::string> artURL;
    friend bool operator==(const MprisTrack&, const MprisTrack&) = default;
};

class MprisReader {
  public:
    static constexpr const char* playerPrefix = "org.mpris.MediaPlayer2.";
    static constexpr const char* playerPath = "/org/mpris/MediaPlayer2";
    static constexpr const char* playerInterface = "org.mpris.MediaPlayer2.Player";

    using Done = std::function<void(std::optional<MprisTrack>)>;

    // `now` gives seconds of monotonic time, to tell which player was playing last.
    MprisReader(platform::dbus::Connection& connection, std::function<double()> now,
                std::chrono::milliseconds callTimeout = std::chrono::milliseconds{1000});
    ~MprisReader();
    MprisReader(const MprisReader&) = delete;
    MprisReader& operator=(const MprisReader&) = delete;

    // Asks every player and calls `done` once with the chosen player's track, or none. A read asked for
    // while another is under way takes over its answer (the earlier `done` is never called) and is then
    // followed by a fresh read, answered to the same `done`.
    void read(Done done);
    // `onChange` is called whenever a player comes or goes or its properties change. False when the
    // bus refused the matches.
    bool watch(std::function<void()> onChange);
    void unwatch();

    // The track of one player's Player properties (Metadata and its fields of the right types only).
    static MprisTrack trackOf(const std::string& player, const platform::dbus::PropertyMap& properties);

  private:
    struct Read;
    void finish(const std::shared_ptr<Read>& read);

    platform::dbus::Connection& connection_;
    std::function<double()> now_;
    std::chrono::milliseconds callTimeout_;
    std::shared_ptr<Read> current_;
    // When each player was last seen playing.
    std::map<std::string, double> lastPlaying_;
    platform::dbus::Slot ownerMatch_;
    platform::dbus::Slot propertiesMatch_;
};

// Artwork from a file URL: only "file:" URLs of the local host, percent-decoded, naming a regular file
// of at most `maximumBytes`. Nothing is fetched from the network.
class ArtworkFiles {
  public:
    struct Description {
        std::string path;
        std::int64_t modified = 0;  // nanoseconds
        std::int64_t size = 0;
        friend bool operator==(const Description&, const Description&) = default;
    };

    static std::optional<std::string> pathOf(const std::string& url);
    // The file's identity as it is now; none when it is not a readable regular file within the limit.
    static std::optional<Description> describe(const std::string& url, std::size_t maximumBytes);
    // The bytes, re-read only when the file's description changed since the last read.
    std::optional<Data> read(const std::string& url, std::size_t maximumBytes);

  private:
    std::optional<Description> cachedDescription_;
    std::optional<Data> cachedBytes_;
};

// Artwork read with a bound on the time it may take: a file on a mount that hangs would otherwise hang
// the queue it is read on, and everything that waits for that queue (quitting does). The read runs on
// a thread of its own; when it does not end in time the answer is none, and no other read starts until
// the hung one has ended.
//
// Thread: read() from one thread at a time; the lock only moves the result.
class BoundedArtworkReader {
  public:
    using Read = std::function<std::optional<Data>(const std::string& url, std::size_t maximumBytes)>;

    // Without `read`, the file is read by an ArtworkFiles of the reader's own.
    explicit BoundedArtworkReader(std::chrono::milliseconds limit, Read read = {});

    std::optional<Data> read(const std::string& url, std::size_t maximumBytes);

  private:
    struct Shared;
    std::chrono::milliseconds limit_;
    std::shared_ptr<Shared> shared_;
};

}  // namespace media
