#include "overlays/presentation-images/PresentationImageDecodeQueue.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "overlays/presentation-images/PresentationImageDecoder.h"
#include "platform/DispatchQueue.h"
#include "platform/Log.h"
#include "platform/NoticeBudget.h"

namespace PresentationImages {

namespace {

const platform::Logger logger("dev.quelmar.trackpad.mac", "overlays");

constexpr std::size_t largeBytes = 4 << 20;

std::size_t decodedBytes(const std::optional<PresentationImagePicture>& picture) {
    return picture ? picture->image.bytes().size() : 0;
}

}  // namespace

std::shared_ptr<PresentationImageDecodeQueue> PresentationImageDecodeQueue::make(
    std::shared_ptr<platform::DispatchQueue> worker, Decode decode) {
    if (!decode) {
        // Each picture not shown is told once, within a budget: a phone may send refused pictures at will.
        auto budget = std::make_shared<platform::NoticeBudget>(5, 10.0);
        decode = [budget](std::span<const std::uint8_t> image, const std::atomic<bool>& stop) {
            std::string refusal;
            auto picture = PresentationImageDecoder::decode(image, PresentationImageDecoder::maxPixelSize,
                                                            &refusal, &stop);
            // A stopped decode says nothing about the picture.
            if (!picture && !refusal.empty()) {
                const double now =
                    std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
                        .count();
                const auto decision = budget->take(now);
                if (decision.heldBack > 0)
                    logger.notice(std::to_string(decision.heldBack) + " more pictures were not shown");
                if (decision.log)
                    logger.notice(refusal);
            }
            return picture;
        };
    }
    return std::make_shared<PresentationImageDecodeQueue>(std::move(worker), std::move(decode));
}

PresentationImageDecodeQueue::PresentationImageDecodeQueue(std::shared_ptr<platform::DispatchQueue> worker,
                                                           Decode decode)
    : worker_(std::move(worker)), decode_(std::move(decode)) {}

// One task on the worker for each waiting job. A task that the worker drops unrun (its pending tasks
// discarded) takes a waiting job with it, so that jobs and tasks stay one to one: otherwise a later
// picture of the same phone would replace a job that no task serves any more, and never be decoded.
struct PresentationImageDecodeQueue::TaskToken {
    std::weak_ptr<PresentationImageDecodeQueue> queue;
    bool ran = false;
    ~TaskToken() {
        if (ran)
            return;
        if (auto self = queue.lock())
            self->dropOneWaiting();
    }
};

void PresentationImageDecodeQueue::submit(const TrackpadProtocol::UUID& owner, TrackpadProtocol::Data image,
                                          Completion done) {
    bool replaced = false;
    Job superseded;  // released outside the lock
    {
        std::lock_guard lock(mutex_);
        const auto same = std::find_if(waiting_.begin(), waiting_.end(),
                                       [&](const Job& job) { return job.owner == owner; });
        if (same != waiting_.end()) {
            superseded = std::move(*same);
            waiting_.erase(same);
            replaced = true;
        }
        waiting_.push_back(Job{owner, std::move(image), std::move(done)});
    }
    // A replaced job's task serves its replacement.
    if (!replaced) {
        auto token = std::make_shared<TaskToken>();
        token->queue = weak_from_this();
        worker_->async([token] {
            token->ran = true;
            if (auto self = token->queue.lock()) {
                self->decodeNext();
            }
        });
    }
}

void PresentationImageDecodeQueue::stop(const std::function<bool(const TrackpadProtocol::UUID&)>& leaves) {
    std::vector<Job> released;  // their images and completions go outside the lock
    std::lock_guard lock(mutex_);
    if (running_ && leaves(running_->owner)) {
        running_->stop->store(true);
    }
    for (Job& job : waiting_) {
        if (leaves(job.owner) && !job.stop->exchange(true)) {
            Job& taken = released.emplace_back();
            taken.image = std::exchange(job.image, {});
            taken.done = std::exchange(job.done, nullptr);
        }
    }
}

std::size_t PresentationImageDecodeQueue::waitingCount() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

void PresentationImageDecodeQueue::dropOneWaiting() {
    Job dropped;  // released outside the lock; its completion is never called
    std::lock_guard lock(mutex_);
    if (!waiting_.empty()) {
        dropped = std::move(waiting_.front());
        waiting_.pop_front();
    }
}

void PresentationImageDecodeQueue::decodeNext() {
    Job job;
    {
        std::lock_guard lock(mutex_);
        if (waiting_.empty()) {
            return;
        }
        job = std::move(waiting_.front());
        waiting_.pop_front();
        if (job.stop->load()) {
            return;
        }
        running_ = Running{job.owner, job.stop};
    }
    std::optional<PresentationImagePicture> picture;
    try {
        picture = decode_(job.image, *job.stop);
    } catch (const std::exception&) {
        // Memory for a picture that could not be had is a failed decode, not the end of the worker.
    }
    {
        std::lock_guard lock(mutex_);
        running_.reset();
    }
    const bool large = decodedBytes(picture) >= largeBytes || job.image.size() >= largeBytes / 16;
    job.image = {};
    if (job.done && !job.stop->load()) {
        job.done(std::move(picture));
    }
    // The decoder's buffers went back to this thread's heap, which keeps them once its thresholds have
    // grown: handed back to the system when nothing else waits.
    if (large && waitingCount() == 0) {
        malloc_trim(0);
    }
}

}  // namespace PresentationImages
