#pragma once
// The shell's now-playing service as the process runs it: a feed over the system provider, with the
// artwork limits and change handler the shell gives.
#include <memory>
#include <optional>

#include "media/now-playing/MprisPlayerControl.h"
#include "services/MediaServices.h"

namespace media {

// `triesInProcess` is the stored preference "NowPlayingTriesRefusedMediaRemote" (none when absent):
// absent or true reads the players in this process, false runs the helper program. `shownPlayer`, when
// given, is told which player the reported track comes from.
std::shared_ptr<Shell::NowPlayingService> makeSystemNowPlayingFeed(
    const Shell::NowPlayingService::Options& options, std::optional<bool> triesInProcess,
    std::shared_ptr<ShownPlayer> shownPlayer = nullptr);

}  // namespace media
