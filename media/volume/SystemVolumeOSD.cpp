#include "media/volume/SystemVolumeOSD.h"

#include <limits>
#include <utility>

#include "injector/HIDEventPoster.h"
#include "injector/InputEvent.h"
#include "platform/Executor.h"

namespace media {
namespace {

constexpr std::uint64_t keyDownFlags = 0xA00;
constexpr std::uint64_t keyUpFlags = 0xB00;
constexpr std::int16_t mediaKeySubtype = 8;

// Whether the output moved away from `from`: a lost volume, a volume not exactly equal, or another
// mute state (a known state differs from an unknown one).
bool differs(const VolumeReading& reading, const VolumeReading& from) {
    return !reading.volume || reading.volume != from.volume || reading.isMuted != from.isMuted;
}

}  // namespace

SystemVolumeOSD::SystemVolumeOSD(PressKey pressKey, Now now, Wait wait)
    : pressKey_(std::move(pressKey)),
      now_(std::move(now)),
      wait_(std::move(wait)),
      pausedUntil_(-std::numeric_limits<double>::infinity()) {}

std::optional<SystemVolumeOSD::Key> SystemVolumeOSD::key(const VolumeReading& from, const VolumeReading& to) {
    if (!from.volume || !to.volume) {
        return std::nullopt;
    }
    const bool fromMuted = from.isMuted.value_or(false);
    if (to.isMuted) {
        if (fromMuted || *to.isMuted) {
            if (fromMuted != *to.isMuted) {
                return Key::mute;
            }
            return std::nullopt;
        }
    } else if (fromMuted) {
        return Key::mute;
    }
    const int oldLevel = VolumeStatus::percentLevel(*from.volume);
    const int newLevel = VolumeStatus::percentLevel(*to.volume);
    if (newLevel > oldLevel) {
        return Key::soundUp;
    }
    if (newLevel < oldLevel) {
        return Key::soundDown;
    }
    return std::nullopt;
}

void SystemVolumeOSD::showChange(const VolumeReading& from, const VolumeReading& to,
                                 VolumeProvider& provider) {
    const std::optional<Key> chosen = key(from, to);
    if (!chosen) {
        return;
    }
    const double t0 = now_();
    {
        std::lock_guard lock(mutex_);
        if (pausedUntil_ > t0) {
            return;
        }
        if (lastPress_ && t0 - *lastPress_ < minimumPressInterval) {
            return;
        }
        lastPress_ = t0;
    }
    pressKey_(*chosen);
    while (now_() - t0 < watchDuration) {
        if (differs(provider.reading(), from)) {
            return;
        }
        wait_(pollInterval);
    }
    if (differs(provider.reading(), from)) {
        return;
    }
    std::lock_guard lock(mutex_);
    pausedUntil_ = t0 + pauseDuration;
    lastPress_.reset();
}

void SystemVolumeOSD::postKey(Injector::EventPoster& poster, Key key) {
    // Down and then up, always both: a key left down would repeat in the desktop.
    for (const std::uint64_t flags : {keyDownFlags, keyUpFlags}) {
        Injector::SystemDefinedData data;
        data.subtype = mediaKeySubtype;
        data.data1 = static_cast<std::int64_t>((static_cast<std::uint64_t>(key) << 16) | flags);
        data.data2 = -1;
        Injector::InputEvent event = Injector::InputEvent::systemDefined(Injector::Point{0, 0}, flags,
                                                                         platform::monotonicSeconds(), data);
        event.setIntegerField(Injector::EventField::eventSourceUserData, Injector::injectedEventTag);
        poster.post(event);
    }
}

SystemVolumeOSD::PressKey SystemVolumeOSD::xTestKeyPresser(const std::string& displayName) {
    // Connected lazily, on the first press, so the connection is made and used only on the volume queue.
    auto poster = std::make_shared<std::unique_ptr<Injector::HIDEventPoster>>();
    return [poster, displayName](Key key) {
        if (!*poster) {
            *poster = std::make_unique<Injector::HIDEventPoster>(displayName);
        }
        postKey(**poster, key);
    };
}

}  // namespace media
