#pragma once
// Sends the phone's play/pause, next and previous to a media player on the session bus (MPRIS
// PlayPause, Next, Previous): to the player whose track now playing shows when it is still there,
// otherwise to the player the now-playing rule chooses (a playing one, else the one paused last), else
// to the first player listed. It follows the players coming and going, so that whether one is there
// can be answered at once, and it connects again when the bus was missing or went away.
//
// Thread: the public calls from any thread; the bus work runs on the queue
// "dev.quelmar.trackpad.mac.media-control".
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace media {

// The player whose track now playing shows: written by the now-playing provider, read by the control.
//
// Thread: any; the lock only guards the name.
class ShownPlayer {
  public:
    void set(std::optional<std::string> player);
    std::optional<std::string> get() const;

  private:
    mutable std::mutex mutex_;
    std::optional<std::string> player_;
};

class MprisPlayerControl {
  public:
    enum class Command { playPause, next, previous };

    struct Options {
        // The bus to use (empty: the session bus).
        std::string busAddress;
        std::chrono::milliseconds callTimeout{1000};
        // How often a missing or lost bus is tried again.
        std::chrono::milliseconds reconnectInterval{5000};
    };

    // `shown` may be null: the player is then always chosen by the now-playing rule.
    MprisPlayerControl(Options options, std::shared_ptr<const ShownPlayer> shown);
    ~MprisPlayerControl();
    MprisPlayerControl(const MprisPlayerControl&) = delete;
    MprisPlayerControl& operator=(const MprisPlayerControl&) = delete;

    // A player is on the bus, as last seen.
    bool hasPlayer() const;
    // False, with nothing sent, when no player is on the bus; otherwise the command is on its way.
    bool send(Command command);

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace media
