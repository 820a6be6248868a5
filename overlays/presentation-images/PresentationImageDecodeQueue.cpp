#include "overlays/presentation-images/PresentationImageDecodeQueue.h"

#include <algorithm>
#include <exception>

#include "overlays/presentation-images/PresentationImageDecoder.h"
#include "platform/DispatchQueue.h"

namespace PresentationImages {

std::shared_ptr<PresentationImageDecodeQueue> PresentationImageDecodeQueue::make(
    std::shared_ptr<platform::DispatchQueue> worker, Decode decode) {
    if (!decode) {
        decode = [](std::span<const std::uint8_t> image) {
            return PresentationImageDecoder::decode(image, PresentationImageDecoder::maxPixelSize);
        };
    }
    return std::make_shared<PresentationImageDecodeQueue>(std::move(worker), std::move(decode));
}

PresentationImageDecodeQueue::PresentationImageDecodeQueue(std::shared_ptr<platform::DispatchQueue> worker,
                                                           Decode decode)
    : worker_(std::move(worker)), decode_(std::move(decode)) {}

void PresentationImageDecodeQueue::submit(const TrackpadProtocol::UUID& owner, TrackpadProtocol::Data image,
                                          Completion done) {
    bool replaced = false;
    Job superseded;
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
    // Every job has one task on the worker; a replaced job's task serves its replacement.
    if (!replaced) {
        std::weak_ptr<PresentationImageDecodeQueue> weak = weak_from_this();
        worker_->async([weak] {
            if (auto self = weak.lock()) {
                self->decodeNext();
            }
        });
    }
}

std::size_t PresentationImageDecodeQueue::waitingCount() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
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
    }
    std::optional<PresentationImagePicture> picture;
    try {
        picture = decode_(job.image);
    } catch (const std::exception&) {
        // Memory for a picture that could not be had is a failed decode, not the end of the worker.
    }
    job.image = {};
    if (job.done) {
        job.done(std::move(picture));
    }
}

}  // namespace PresentationImages
