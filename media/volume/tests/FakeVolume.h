#pragma once
// A provider and a display for the volume tests: the provider holds a reading the test sets, records
// what is set on it and may fire its change callback from any thread.
#include <functional>
#include <mutex>
#include <vector>

#include "media/volume/VolumeController.h"

namespace media::fakes {

class FakeVolumeProvider final : public VolumeProvider {
  public:
    struct Calls {
        std::vector<double> volumes;
        std::vector<bool> mutes;
        int starts = 0;
        int stops = 0;
    };

    explicit FakeVolumeProvider(VolumeReading reading = {}) : reading_(reading) {}

    VolumeReading reading() override {
        std::lock_guard lock(mutex_);
        ++reads_;
        return reading_;
    }
    void setVolume(double scalar) override {
        std::lock_guard lock(mutex_);
        calls_.volumes.push_back(scalar);
        if (reading_.volume) {
            reading_.volume = scalar;
        }
    }
    void setMuted(bool muted) override {
        std::lock_guard lock(mutex_);
        calls_.mutes.push_back(muted);
        if (reading_.isMuted) {
            reading_.isMuted = muted;
        }
    }
    void start(std::function<void()> onChange) override {
        std::lock_guard lock(mutex_);
        ++calls_.starts;
        onChange_ = std::move(onChange);
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        ++calls_.stops;
        onChange_ = nullptr;
    }

    // An outside change: the new reading, then the callback (if started), on the calling thread.
    void change(VolumeReading reading) {
        std::function<void()> callback;
        {
            std::lock_guard lock(mutex_);
            reading_ = reading;
            callback = onChange_;
        }
        if (callback) {
            callback();
        }
    }
    void set(VolumeReading reading) {
        std::lock_guard lock(mutex_);
        reading_ = reading;
    }
    Calls calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }

  private:
    mutable std::mutex mutex_;
    VolumeReading reading_;
    Calls calls_;
    int reads_ = 0;
    std::function<void()> onChange_;
};

// A display that records what it was asked to show and may act like a key press on the provider.
class FakeVolumeOSD final : public VolumeOSD {
  public:
    struct Shown {
        VolumeReading from;
        VolumeReading to;
    };
    void showChange(const VolumeReading& from, const VolumeReading& to, VolumeProvider& provider) override {
        shown.push_back({from, to});
        if (press) {
            press(provider);
        }
    }
    std::vector<Shown> shown;
    std::function<void(VolumeProvider&)> press;
};

}  // namespace media::fakes
