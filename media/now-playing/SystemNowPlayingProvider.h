#pragma once
// The NowPlayingProvider of the desktop: reads the media players on the session bus in this process,
// driven by the bus's signals and a poll every 5 s, or runs the now-playing helper program, which reads
// them in a process of its own. Which way is chosen once, when the provider is made; a reading equal
// to the last one handed on is held back.
//
// Thread: start and stop from any thread; all work, and the calls of the callback, on its own queue
// "dev.quelmar.trackpad.mac.now-playing".
#include <memory>
#include <optional>
#include <string>

#include "media/now-playing/MprisPlayerControl.h"
#include "media/now-playing/NowPlaying.h"
#include "media/now-playing/NowPlayingHelper.h"

namespace media {

class SystemNowPlayingProvider final : public NowPlayingProvider {
  public:
    // The preference that chooses the reader: absent or true reads in this process (when the session
    // bus can be reached); false runs the helper.
    static constexpr const char* preferenceKey = "NowPlayingTriesRefusedMediaRemote";
    static constexpr double defaultPollInterval = 5.0;
    // Artwork files above this size are not read, nor those that take longer than this.
    static constexpr std::size_t maximumArtworkBytes = 16 * 1024 * 1024;
    static constexpr std::chrono::milliseconds artworkReadLimit{500};

    struct Options {
        // In-process reading: the bus to read (empty: the session bus).
        std::string busAddress;
        double pollInterval = defaultPollInterval;
        std::chrono::milliseconds callTimeout{1000};
        // Told which player the reported track comes from (none when nothing plays); may be null.
        std::shared_ptr<ShownPlayer> shownPlayer;
    };

    // Reads in this process when `triesInProcess` is not false (a bus that cannot be reached yet is
    // tried again at every poll); otherwise runs the helper beside this executable (interval 1 s,
    // artwork 360 px, restart after 5 s); without it, no source: start hands on one `unavailable`.
    static std::unique_ptr<SystemNowPlayingProvider> make(std::optional<bool> triesInProcess,
                                                          Options options);
    static std::unique_ptr<SystemNowPlayingProvider> make(std::optional<bool> triesInProcess);
    // Reads in this process over the given bus, connecting again at every poll while it cannot be reached.
    static std::unique_ptr<SystemNowPlayingProvider> inProcess(Options options);
    // Runs the given helper.
    static std::unique_ptr<SystemNowPlayingProvider> withHelper(std::shared_ptr<NowPlayingHelper> helper);

    ~SystemNowPlayingProvider() override;

    void start(OnChange onChange) override;
    void stop() override;
    // A reader or a helper is present.
    bool isAvailable() const;
    bool usesHelper() const;

    struct State;

  private:
    explicit SystemNowPlayingProvider(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace media
