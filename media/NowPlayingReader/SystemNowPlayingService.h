#pragma once
// The shell's now-playing service as the process runs it: a feed over the system provider, with the
// artwork limits and change handler the shell gives.
#include <memory>
#include <optional>

#include "app/services/MediaServices.h"

namespace media {

// `triesInProcess` is the stored preference "NowPlayingTriesRefusedMediaRemote" (none when absent):
// absent or true reads the players in this process, false runs the helper program.
std::shared_ptr<Shell::NowPlayingService> makeSystemNowPlayingFeed(
    const Shell::NowPlayingService::Options& options, std::optional<bool> triesInProcess);

}  // namespace media
