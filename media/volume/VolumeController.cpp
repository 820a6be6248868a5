#include "media/volume/VolumeController.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace media {

using TrackpadProtocol::Message;

VolumeStatus VolumeReading::status() const {
    if (!volume) {
        return VolumeStatus::unsupported;
    }
    return VolumeStatus{VolumeStatus::percentLevel(*volume), isMuted.value_or(false), true};
}

VolumeController::VolumeController(std::unique_ptr<VolumeProvider> provider, std::unique_ptr<VolumeOSD> osd,
                                   platform::Executor& queue)
    : provider_(std::move(provider)), osd_(std::move(osd)), queue_(queue) {}

VolumeController::~VolumeController() = default;

void VolumeController::setChangeHandler(ChangeHandler handler) {
    std::lock_guard lock(handlerMutex_);
    changeHandler_ = std::move(handler);
}

std::optional<VolumeStatus> VolumeController::reportedStatus() const {
    std::lock_guard lock(reportedMutex_);
    return reported_;
}

void VolumeController::start() {
    queue_.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->startOnQueue();
        }
    });
}

void VolumeController::stop() {
    queue_.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->stopOnQueue();
        }
    });
}

void VolumeController::startOnQueue() {
    if (isRunning_) {
        return;
    }
    isRunning_ = true;
    const std::uint64_t generation = ++generation_;
    {
        std::lock_guard lock(reportedMutex_);
        reported_.reset();
    }
    // The callback only hops to the queue: holding the controller on the provider's thread could make
    // the provider be released there, by its own thread.
    provider_->start([weak = weak_from_this(), &queue = queue_, generation] {
        queue.post([weak, generation] {
            if (auto owner = weak.lock()) {
                owner->report(generation);
            }
        });
    });
    report(generation);
}

void VolumeController::stopOnQueue() {
    if (!isRunning_) {
        return;
    }
    isRunning_ = false;
    ++generation_;
    provider_->stop();
}

void VolumeController::report(std::uint64_t generation) {
    if (!isRunning_ || generation != generation_) {
        return;
    }
    const VolumeStatus status = provider_->reading().status();
    {
        std::lock_guard lock(reportedMutex_);
        if (reported_ == status) {
            return;
        }
        reported_ = status;
    }
    ChangeHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = changeHandler_;
    }
    if (handler) {
        handler(status);
    }
}

bool VolumeController::handle(const Message& message, Completion completion) {
    if (!message.is<Message::SetVolume>() && !message.is<Message::SetMute>() &&
        !message.is<Message::VolumeStatusRequest>()) {
        return false;
    }
    // The task keeps the controller alive, so an accepted message is always answered.
    queue_.post([self = shared_from_this(), message, completion = std::move(completion)] {
        self->answer(message, completion);
    });
    return true;
}

void VolumeController::answer(const Message& message, const Completion& completion) {
    apply(message);
    const VolumeStatus status = provider_->reading().status();
    bool changed = false;
    {
        // Set unconditionally: the change notifications this very request causes arrive afterwards
        // with the same status and must not be broadcast again.
        std::lock_guard lock(reportedMutex_);
        changed = reported_ != status;
        reported_ = status;
    }
    if (completion) {
        completion(status);
    }
    // The other phones, and what a phone subscribing later is told first, must learn of this change
    // too: its own notifications are held back above, so it is broadcast here, once.
    if (changed && isRunning_) {
        ChangeHandler handler;
        {
            std::lock_guard lock(handlerMutex_);
            handler = changeHandler_;
        }
        if (handler) {
            handler(status);
        }
    }
}

void VolumeController::apply(const Message& message) {
    const VolumeReading current = provider_->reading();
    if (!current.volume) {
        return;
    }
    double target = 0;
    std::optional<bool> targetMute;
    if (const auto* set = message.as<Message::SetVolume>()) {
        target = std::min<int>(set->level, 100) / 100.0;
        if (current.isMuted) {
            // Any level above 0 unmutes; 0 leaves the mute state as it is.
            targetMute = set->level == 0 && *current.isMuted;
        }
    } else if (const auto* mute = message.as<Message::SetMute>()) {
        if (!current.isMuted) {
            return;
        }
        target = *current.volume;
        targetMute = mute->muted;
    } else {
        return;
    }

    const bool levelChanges =
        VolumeStatus::percentLevel(target) != VolumeStatus::percentLevel(*current.volume);
    const bool shown = current.isMuted ? (levelChanges || targetMute != current.isMuted) : levelChanges;
    if (shown && osd_) {
        osd_->showChange(current, VolumeReading{target, targetMute}, *provider_);
    }
    // The display presses a real volume key, which may itself have moved the volume or toggled mute.
    const VolumeReading after = osd_ ? provider_->reading() : current;

    if (message.is<Message::SetVolume>()) {
        provider_->setVolume(target);
    } else if (!after.volume || std::fabs(*after.volume - target) >= restoreTolerance) {
        provider_->setVolume(target);
    }
    if (!targetMute || !after.isMuted) {
        return;
    }
    if (*after.isMuted != *targetMute) {
        provider_->setMuted(*targetMute);
    }
}

bool VolumeController::pressKey(VolumeKey key) {
    const std::optional<VolumeStatus> seen = reportedStatus();
    if (!seen || !seen->isSupported) {
        return false;
    }
    queue_.post([weak = weak_from_this(), key] {
        if (auto self = weak.lock()) {
            self->applyKey(key);
        }
    });
    return true;
}

void VolumeController::applyKey(VolumeKey key) {
    const VolumeReading current = provider_->reading();
    if (!current.volume) {
        return;
    }
    if (key == VolumeKey::mute) {
        if (current.isMuted) {
            provider_->setMuted(!*current.isMuted);
        }
        return;
    }
    // On the percent grid, so that steps up and down return to the same level.
    const int level = VolumeStatus::percentLevel(*current.volume);
    const int target = std::clamp(level + (key == VolumeKey::up ? volumeKeyStep : -volumeKeyStep), 0, 100);
    provider_->setVolume(target / 100.0);
}

}  // namespace media
