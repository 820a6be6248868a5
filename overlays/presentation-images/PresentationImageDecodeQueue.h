#pragma once
// Decodes phones' pictures one at a time on a worker queue, keeping at most one waiting picture per phone:
// a newer picture from the same phone replaces the one still waiting (whose completion is then never
// called) and goes behind the other phones' waiting pictures, so a phone sending pictures as fast as it
// can neither piles up memory and work nor keeps another phone's picture from its turn.
//
// When the worker's pending tasks are discarded (a stop), the pictures still waiting go with them and
// their completions are never called; pictures submitted afterwards decode as usual.
//
// Thread: submit from any thread; decodes and completions run on the worker queue.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "overlays/presentation-images/PresentationImagePicture.h"
#include "protocol/messages/Types.h"
#include "protocol/messages/Uuid.h"

namespace platform {
class DispatchQueue;
}

namespace PresentationImages {

class PresentationImageDecodeQueue : public std::enable_shared_from_this<PresentationImageDecodeQueue> {
  public:
    using Decode = std::function<std::optional<PresentationImagePicture>(std::span<const std::uint8_t>)>;
    using Completion = std::function<void(std::optional<PresentationImagePicture>)>;

    // `decode` defaults to PresentationImageDecoder at its largest size.
    static std::shared_ptr<PresentationImageDecodeQueue> make(std::shared_ptr<platform::DispatchQueue> worker,
                                                              Decode decode = {});

    void submit(const TrackpadProtocol::UUID& owner, TrackpadProtocol::Data image, Completion done);
    // Pictures accepted and not yet begun.
    std::size_t waitingCount() const;

    // Use make.
    PresentationImageDecodeQueue(std::shared_ptr<platform::DispatchQueue> worker, Decode decode);

  private:
    struct Job {
        TrackpadProtocol::UUID owner;
        TrackpadProtocol::Data image;
        Completion done;
    };
    struct TaskToken;
    void decodeNext();
    void dropOneWaiting();

    std::shared_ptr<platform::DispatchQueue> worker_;
    Decode decode_;
    mutable std::mutex mutex_;
    std::deque<Job> waiting_;  // at most one per owner, in the order of their latest pictures
};

}  // namespace PresentationImages
