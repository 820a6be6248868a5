#pragma once
// Decodes phones' pictures on a few worker queues, pictures of different phones at once (one per worker)
// and of one phone one at a time, keeping at most one waiting picture per phone: a newer picture from the
// same phone replaces the one still waiting (whose completion is then never called) and goes behind the
// other phones' waiting pictures. So a phone sending pictures as fast as it can neither piles up memory
// and work nor keeps another phone's picture from its turn, and one long decode holds up no other
// phone's picture while a worker is free. Decodes whose working memory is large still take turns in the
// imaging library, so that two at once stay within the memory bound.
//
// Each picture has a stop flag that its decode watches. A phone that leaves (or a process that quits)
// stops its pictures: the one decoding ends soon, freeing its worker, and the one waiting is dropped;
// none of their completions is called. When a worker's pending tasks are discarded (a stop), the pictures
// still waiting go with them too. Pictures submitted afterwards decode as usual.
//
// Thread: submit and stop from any thread; decodes and completions run on the worker queues.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

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
    using Workers = std::vector<std::shared_ptr<platform::DispatchQueue>>;

    // As many pictures decode at once as there are `workers`. `decode` defaults to
    // PresentationImageDecoder at its largest size.
    static std::shared_ptr<PresentationImageDecodeQueue> make(Workers workers, Decode decode = {});

    void submit(const TrackpadProtocol::UUID& owner, TrackpadProtocol::Data image, Completion done);
    // Stops the pictures, decoding or waiting, of the owners `leaves` picks.
    void stop(const std::function<bool(const TrackpadProtocol::UUID&)>& leaves);
    // Pictures accepted and not yet begun.
    std::size_t waitingCount() const;

    // Use make.
    PresentationImageDecodeQueue(Workers workers, Decode decode);

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
    // With mutex_ held: the first waiting picture whose owner has none decoding.
    std::deque<Job>::iterator nextReady();
    // With mutex_ held: a worker with nothing to do, now marked busy, when a picture is ready for it.
    std::optional<std::size_t> claimWorker();
    void post(std::size_t worker);
    // A worker's task: decodes ready pictures until none is left.
    void drain(std::size_t worker);
    void dropped(std::size_t worker);

    Workers workers_;
    Decode decode_;
    mutable std::mutex mutex_;
    std::deque<Job> waiting_;  // at most one per owner, in the order of their latest pictures
    std::vector<Running> running_;
    std::vector<bool> busy_;  // a worker has a task queued or running
};

}  // namespace PresentationImages
