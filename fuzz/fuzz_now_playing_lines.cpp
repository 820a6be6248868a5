// The now-playing helper's output, read line by line as the companion reads it: every line gives a
// reading, `unsupported` or nothing, never a crash; and whatever bytes are sent as Base64 arrive
// unchanged.
#include <string_view>

#include "FuzzSupport.h"
#include "media/now-playing/NowPlayingHelper.h"
#include "media/now-playing/NowPlayingHelperChild.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        const media::NowPlayingHelper::Line parsed = media::NowPlayingHelper::parse(line);
        if (const auto* reading = std::get_if<media::NowPlayingReading>(&parsed)) {
            if (const media::NowPlayingTrack* track = reading->trackValue()) {
                fuzz_support::require(!track->title.empty() || !track->artist.empty() || track->artwork,
                                      "a track carries something");
                fuzz_support::require(!track->artwork || !track->artwork->empty(), "artwork is never empty");
            }
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    const media::Data bytes(data, data + size);
    const auto back = media::NowPlayingHelper::decodeBase64(media::encodeBase64(bytes));
    fuzz_support::require(back && *back == bytes, "Base64 round trip");
    return 0;
}
