#include "media/now-playing/NowPlaying.h"

namespace media {

NowPlayingReading NowPlayingReading::fromInfo(const std::optional<NowPlayingInfo>& info) {
    if (!info) {
        return unavailable();
    }
    NowPlayingTrack track{info->title.value_or(std::string{}), info->artist.value_or(std::string{}),
                          std::nullopt};
    if (info->artworkData && !info->artworkData->empty()) {
        track.artwork = info->artworkData;
    }
    if (track.title.empty() && track.artist.empty() && !track.artwork) {
        return unavailable();
    }
    return NowPlayingReading::track(std::move(track));
}

}  // namespace media
