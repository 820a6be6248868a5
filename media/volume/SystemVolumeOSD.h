#pragma once
// Shows the desktop's own volume display for a change the phone made, by pressing the matching media
// key as if the user had: sound up, sound down or mute, down and then up. The controller corrects the
// output right afterwards to what the phone asked for. An output that does not react to the press
// (no desktop handles the keys) is left alone for a while.
//
// Thread: showChange runs on the volume controller's queue; the lock guards only the press times.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "media/volume/VolumeController.h"

namespace Injector {
class EventPoster;
}

namespace media {

class SystemVolumeOSD final : public VolumeOSD {
  public:
    enum class Key : std::int32_t { soundUp = 0, soundDown = 1, mute = 7 };

    using PressKey = std::function<void(Key)>;
    using Now = std::function<double()>;
    using Wait = std::function<void(double seconds)>;

    static constexpr double minimumPressInterval = 1.0;
    static constexpr double watchDuration = 0.3;
    static constexpr double pollInterval = 0.003;
    static constexpr double pauseDuration = 10.0;

    SystemVolumeOSD(PressKey pressKey, Now now, Wait wait);

    void showChange(const VolumeReading& from, const VolumeReading& to, VolumeProvider& provider) override;

    // The key for a change, or none.
    static std::optional<Key> key(const VolumeReading& from, const VolumeReading& to);
    // The default key press: a system-defined media-key event, down and then up, tagged as our own,
    // through `poster` (give the display a poster of its own, used only from the volume queue).
    static void postKey(Injector::EventPoster& poster, Key key);
    // A key press through a poster of its own on the named X display (empty: $DISPLAY).
    static PressKey xTestKeyPresser(const std::string& displayName);

  private:
    PressKey pressKey_;
    Now now_;
    Wait wait_;
    std::mutex mutex_;
    std::optional<double> lastPress_;
    double pausedUntil_;
};

}  // namespace media
