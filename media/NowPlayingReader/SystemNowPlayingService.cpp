#include "media/NowPlayingReader/SystemNowPlayingService.h"

#include "media/NowPlayingReader/NowPlayingFeed.h"
#include "media/NowPlayingReader/SystemNowPlayingProvider.h"

namespace media {

std::shared_ptr<Shell::NowPlayingService> makeSystemNowPlayingFeed(
    const Shell::NowPlayingService::Options& options, std::optional<bool> triesInProcess) {
    return std::make_shared<NowPlayingFeed>(
        SystemNowPlayingProvider::make(triesInProcess),
        ArtworkScaler(options.maxPixelSize,
                      static_cast<long>(std::min<std::size_t>(options.maxByteCount, 61440))),
        options.onChange);
}

}  // namespace media
