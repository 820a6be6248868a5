#pragma once
// The now-playing values shared by the feed, the system provider and the helper: a track, a reading,
// the neutral information record a source reads, and the provider seam.
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include "protocol/messages/Types.h"

namespace media {

using TrackpadProtocol::Data;

struct NowPlayingTrack {
    std::string title;
    std::string artist;
    // The artwork bytes exactly as the source gave them, any image format.
    std::optional<Data> artwork;
    friend bool operator==(const NowPlayingTrack&, const NowPlayingTrack&) = default;
};

// What a source read about the playing item: a field of the wrong kind is left out, as if missing.
struct NowPlayingInfo {
    std::optional<std::string> title;
    std::optional<std::string> artist;
    std::optional<Data> artworkData;
    friend bool operator==(const NowPlayingInfo&, const NowPlayingInfo&) = default;
};

class NowPlayingReading {
  public:
    // Nothing plays, or nothing can be read.
    static NowPlayingReading unavailable() { return NowPlayingReading{}; }
    static NowPlayingReading track(NowPlayingTrack track) { return NowPlayingReading{std::move(track)}; }
    // Missing texts are empty and empty artwork is none; without a text or artwork, unavailable.
    static NowPlayingReading fromInfo(const std::optional<NowPlayingInfo>& info);

    bool isUnavailable() const { return !track_; }
    // Null when unavailable.
    const NowPlayingTrack* trackValue() const { return track_ ? &*track_ : nullptr; }
    friend bool operator==(const NowPlayingReading&, const NowPlayingReading&) = default;

  private:
    NowPlayingReading() = default;
    explicit NowPlayingReading(NowPlayingTrack track) : track_(std::move(track)) {}
    std::optional<NowPlayingTrack> track_;
};

// A source of readings. The callback is called on a thread of the provider's choosing, one reading at
// a time.
class NowPlayingProvider {
  public:
    using OnChange = std::function<void(const NowPlayingReading&)>;
    virtual ~NowPlayingProvider() = default;
    virtual void start(OnChange onChange) = 0;
    virtual void stop() = 0;
};

}  // namespace media
