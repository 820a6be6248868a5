#pragma once
// Decodes phones' pictures one at a time on a worker queue, keeping at most one waiting picture per phone:
// a newer picture from the same phone replaces the one still waiting (whose completion is then never
// called) and goes behind the other phones' waiting pictures, so a phone sending pictures as fast as it
// can neither piles up memory and work nor keeps another phone's picture from its turn.
//
// When the worker's pending tasks are discarded (a stop), the pictures still waiting go with them and
// their completions are never called; pictures submitted afterwards decode as usual.
//
// Each picture has a stop flag that its decode watches. A phone that leaves (or a process that quits)
// stops its pictures: the one decoding ends soon, freeing the worker for the other phones' pictures, and
// those waiting are never begun; none of their completions is called.
//
// Thread: submit and stop from any thread; decodes and completions run on the worker queue.
#include <atomic>
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
    // Gives up soon, with none, once `stop` is raised.
    using Decode = std::function<std::optional<PresentationImagePicture>(std::span<const std::uint8_t>,
                                                                         const std::atomic<bool>& stop)>;
    using Completion = std::function<void(std::optional<PresentationImagePicture>)>;

    // `decode` defaults to PresentationImageDecoder at its largest size.
    static std::shared_ptr<PresentationImageDecodeQueue> make(std::shared_ptr<platform::DispatchQueue> worker,
                                                              Decode decode = {});

    void submit(const TrackpadProtocol::UUID& owner, TrackpadProtocol::Data image, Completion done);
    // Stops the pictures, decoding or waiting, of the owners `leaves` picks.
    void stop(const std::function<bool(const TrackpadProtocol::UUID&)>& leaves);
    // Pictures accepted and not yet begun.
    std::size_t waitingCount() const;

    // Use make.
    PresentationImageDecodeQueue(std::shared_ptr<platform::DispatchQueue> worker, Decode decode);

  private:
    struct Job {
        TrackpadProtocol::UUID owner;
        TrackpadProtocol::Data image;
        Completion done;
        std::shared_ptr<std::atomic<bool>> stop = std::make_shared<std::atomic<bool>>(false);
    };
    struct Running {
        TrackpadProtocol::UUID owner;
        std::shared_ptr<std::atomic<bool>> stop;
    };
    struct TaskToken;
    void decodeNext();
    void dropOneWaiting();

    std::shared_ptr<platform::DispatchQueue> worker_;
    Decode decode_;
    mutable std::mutex mutex_;
    // At most one per owner, in the order of their latest pictures. A stopped one keeps its place
    // (without its image) until its task comes, so that tasks and jobs stay one to one.
    std::deque<Job> waiting_;
    std::optional<Running> running_;
};

}  // namespace PresentationImages
