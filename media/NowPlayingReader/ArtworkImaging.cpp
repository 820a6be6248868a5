#include "media/NowPlayingReader/ArtworkScaler.h"

namespace media {

ArtworkScaler::Imaging ArtworkScaler::systemImaging() {
    return Imaging{};
}

}  // namespace media
