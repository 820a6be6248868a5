#pragma once
// The helper program's side of the line protocol: it polls the media players every `interval`
// seconds and prints a line when what it sees changes ({"title","artist","artwork"} or {}), the empty
// line after 5 s without a line, and {"unsupported":true} (then ends) when there is no session bus.
// Artwork comes from the track's file URL, scaled to the pixel size; a file that cannot be read is
// tried at most 3 times, 5 s apart, until the track or the file changes.
//
// Thread: one; the program runs an event loop of its own.
#include <functional>
#include <optional>
#include <string>

#include "media/now-playing/MprisReader.h"

namespace media {

class NowPlayingHelperChild {
  public:
    static constexpr double keepAliveAfter = 5.0;
    static constexpr int maximumArtworkTries = 3;
    static constexpr double artworkRetryDelay = 5.0;

    using Print = std::function<void(const std::string& line)>;
    // Artwork bytes ready to send (already scaled), or none.
    using LoadArtwork = std::function<std::optional<Data>(const std::string& url)>;
    // Describes the file behind an artwork URL, for the artwork key: "[mtime,size]", or empty.
    using DescribeArtwork = std::function<std::string(const std::string& url)>;

    NowPlayingHelperChild(double interval, Print print, LoadArtwork load, DescribeArtwork describe,
                          std::function<double()> now);

    // One poll's result: prints what it must.
    void observe(const std::optional<MprisTrack>& track);

    // "1.0" → 1.0 and so on; a missing, unreadable or zero argument gives the fallback; at least the floor.
    static double argument(const char* text, double fallback, double floor);

  private:
    struct ArtworkCache {
        std::string key;
        std::string base64;
        int tries = 0;
        double retryAt = 0;
    };
    const ArtworkCache& artworkFor(const MprisTrack& track);

    double interval_;
    Print print_;
    LoadArtwork load_;
    DescribeArtwork describe_;
    std::function<double()> now_;
    std::optional<std::string> last_;
    double quiet_ = 0;
    ArtworkCache artwork_;
};

std::string encodeBase64(const Data& bytes);

// The program: argv [interval, pixelSize]. Returns the exit status.
int runNowPlayingHelper(int argc, char** argv);

}  // namespace media
