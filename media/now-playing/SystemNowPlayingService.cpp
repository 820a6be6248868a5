#include "media/now-playing/SystemNowPlayingService.h"

#include "media/now-playing/NowPlayingFeed.h"
#include "media/now-playing/SystemNowPlayingProvider.h"

namespace media {

std::shared_ptr<Shell::NowPlayingService> makeSystemNowPlayingFeed(
    const Shell::NowPlayingService::Options& options, std::optional<bool> triesInProcess,
    std::shared_ptr<ShownPlayer> shownPlayer) {
    SystemNowPlayingProvider::Options providerOptions;
    providerOptions.shownPlayer = std::move(shownPlayer);
    return std::make_shared<NowPlayingFeed>(
        SystemNowPlayingProvider::make(triesInProcess, std::move(providerOptions)),
        ArtworkScaler(options.maxPixelSize,
                      static_cast<long>(std::min<std::size_t>(options.maxByteCount, 61440))),
        options.onChange);
}

}  // namespace media
