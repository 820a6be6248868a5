#include "overlays/presentation-images/PresentationImageDecodeQueue.h"

#include <malloc.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "overlays/presentation-images/PresentationImageDecoder.h"
#include "platform/BudgetedNotices.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"

namespace PresentationImages {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "overlays");

constexpr std::size_t largeBytes = 4 << 20;

std::size_t decodedBytes(const std::optional<PresentationImagePicture>& picture) {
    return picture ? picture->image.bytes().size() : 0;
}

}  // namespace

std::shared_ptr<PresentationImageDecodeQueue> PresentationImageDecodeQueue::make(Workers workers,
                                                                                 Decode decode) {
    if (!decode) {
        // Each picture not shown is told once, within a budget: a phone may send refused pictures at will.
        auto budget = std::make_shared<platform::BudgetedNotices>(logger, "more pictures were not shown");
        decode = [budget](std::span<const std::uint8_t> image, const std::atomic<bool>& stop) {
            std::string refusal;
            auto picture = PresentationImageDecoder::decode(image, PresentationImageDecoder::maxPixelSize,
                                                            &refusal, &stop);
            // A stopped decode says nothing about the picture.
            if (!picture && !refusal.empty()) {
                budget->notice(refusal);
            }
            return picture;
        };
    }
    return std::make_shared<PresentationImageDecodeQueue>(std::move(workers), std::move(decode));
}

PresentationImageDecodeQueue::PresentationImageDecodeQueue(Workers workers, Decode decode)
    : workers_(std::move(workers)), decode_(std::move(decode)), busy_(workers_.size(), false) {}

// A worker's task that the worker drops unrun (its pending tasks discarded) frees the worker, and the
// pictures waiting go as the stop wants them to.
struct PresentationImageDecodeQueue::TaskToken {
    std::weak_ptr<PresentationImageDecodeQueue> queue;
    std::size_t worker = 0;
    bool ran = false;
    ~TaskToken() {
        if (ran)
            return;
        if (auto self = queue.lock())
            self->dropped(worker);
    }
};

void PresentationImageDecodeQueue::submit(const TrackpadProtocol::UUID& owner, TrackpadProtocol::Data image,
                                          Completion done) {
    Job superseded;  // released outside the lock
    std::optional<std::size_t> worker;
    {
        std::lock_guard lock(mutex_);
        const auto same = std::find_if(waiting_.begin(), waiting_.end(),
                                       [&](const Job& job) { return job.owner == owner; });
        if (same != waiting_.end()) {
            superseded = std::move(*same);
            waiting_.erase(same);
        }
        waiting_.push_back(Job{owner, std::move(image), std::move(done)});
        worker = claimWorker();
    }
    if (worker) {
        post(*worker);
    }
}

void PresentationImageDecodeQueue::stop(const std::function<bool(const TrackpadProtocol::UUID&)>& leaves) {
    std::deque<Job> released;  // their images and completions go outside the lock
    std::lock_guard lock(mutex_);
    for (const Running& running : running_) {
        if (leaves(running.owner)) {
            running.stop->store(true);
        }
    }
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (leaves(it->owner)) {
            released.push_back(std::move(*it));
            it = waiting_.erase(it);
        } else {
            ++it;
        }
    }
}

std::size_t PresentationImageDecodeQueue::waitingCount() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

std::deque<PresentationImageDecodeQueue::Job>::iterator PresentationImageDecodeQueue::nextReady() {
    return std::find_if(waiting_.begin(), waiting_.end(), [&](const Job& job) {
        return std::none_of(running_.begin(), running_.end(),
                            [&](const Running& running) { return running.owner == job.owner; });
    });
}

std::optional<std::size_t> PresentationImageDecodeQueue::claimWorker() {
    if (nextReady() == waiting_.end()) {
        return std::nullopt;
    }
    const auto idle = std::find(busy_.begin(), busy_.end(), false);
    if (idle == busy_.end()) {
        return std::nullopt;
    }
    *idle = true;
    return static_cast<std::size_t>(idle - busy_.begin());
}

void PresentationImageDecodeQueue::post(std::size_t worker) {
    auto token = std::make_shared<TaskToken>();
    token->queue = weak_from_this();
    token->worker = worker;
    workers_[worker]->async([token] {
        token->ran = true;
        if (auto self = token->queue.lock()) {
            self->drain(token->worker);
        }
    });
}

void PresentationImageDecodeQueue::dropped(std::size_t worker) {
    std::deque<Job> released;  // their completions are never called
    std::lock_guard lock(mutex_);
    busy_[worker] = false;
    released.swap(waiting_);
}

void PresentationImageDecodeQueue::drain(std::size_t worker) {
    for (;;) {
        Job job;
        {
            std::lock_guard lock(mutex_);
            const auto ready = nextReady();
            if (ready == waiting_.end()) {
                busy_[worker] = false;
                return;
            }
            job = std::move(*ready);
            waiting_.erase(ready);
            running_.push_back(Running{job.owner, job.stop});
        }
        std::optional<PresentationImagePicture> picture;
        try {
            picture = decode_(job.image, *job.stop);
        } catch (const std::exception&) {
            // Memory for a picture that could not be had is a failed decode, not the end of the worker.
        }
        {
            std::lock_guard lock(mutex_);
            std::erase_if(running_, [&](const Running& running) { return running.stop == job.stop; });
        }
        const bool large = decodedBytes(picture) >= largeBytes || job.image.size() >= largeBytes / 16;
        job.image = {};
        if (job.done && !job.stop->load()) {
            job.done(std::move(picture));
        }
        // The decoder's buffers went back to this thread's heap, which keeps them once its thresholds
        // have grown: handed back to the system when nothing else waits.
        if (large && waitingCount() == 0) {
            malloc_trim(0);
        }
    }
}

}  // namespace PresentationImages
