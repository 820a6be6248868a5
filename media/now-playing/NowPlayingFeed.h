#pragma once
// Turns a provider's raw readings into the NowPlaying values phones are sent: texts trimmed and cut to
// the wire's limit, artwork scaled to a small JPEG (reused while the artwork bytes stay the same), and a
// value equal to the last one reported dropped. A stop stops the artwork decode under way.
//
// Thread: start and stop on the main queue; readings arrive on the provider's thread, where onChange
// is called, never under the feed's lock.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "media/now-playing/ArtworkScaler.h"
#include "media/now-playing/NowPlaying.h"
#include "protocol/messages/Types.h"
#include "services/MediaServices.h"

namespace media {

using TrackpadProtocol::NowPlaying;

class NowPlayingFeed final : public Shell::NowPlayingService {
  public:
    using OnChange = std::function<void(std::optional<NowPlaying>)>;
    // Gives up soon, with none, once `stop` is raised.
    using Scale = std::function<std::optional<Data>(const Data&, const std::atomic<bool>& stop)>;

    // The artwork bytes of a reading and the JPEG made of exactly them (none when scaling failed).
    struct ScaledArtwork {
        Data source;
        std::optional<Data> scaled;
        friend bool operator==(const ScaledArtwork&, const ScaledArtwork&) = default;
    };

    NowPlayingFeed(std::unique_ptr<NowPlayingProvider> provider, ArtworkScaler scaler, OnChange onChange);
    NowPlayingFeed(std::unique_ptr<NowPlayingProvider> provider, Scale scale, OnChange onChange);
    ~NowPlayingFeed() override;

    void start() override;
    void stop() override;
    // The last value reported since the last start; none when nothing, or nothing playing, was reported.
    std::optional<NowPlaying> current() const;

    static std::optional<NowPlaying> makeNowPlaying(const NowPlayingReading& reading,
                                                    const std::optional<ScaledArtwork>& artwork);
    // White space and line ends removed at both ends (Unicode's white space, not only ASCII).
    static std::string trimmed(const std::string& text);

  private:
    // What the provider's callback reaches, held weakly by it. Kept apart from the provider, so that a
    // reading being handled never keeps the provider alive: the provider is always released by the
    // feed's owner, never on the provider's own queue.
    struct State;

    std::unique_ptr<NowPlayingProvider> provider_;
    std::shared_ptr<State> state_;
};

}  // namespace media
