#pragma once
// An in-memory EventPoster that keeps every posted event, for tests. Thread-safe: the unlocker posts
// from its own queue while a test reads on another thread.
#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

#include "injector/EventPoster.h"

namespace Injector {

class RecordingEventPoster final : public EventPoster {
  public:
    // `pacesMotion` makes the poster ask for paced motion the way the system poster does.
    explicit RecordingEventPoster(bool pacesMotion = false) : pacesMotion_(pacesMotion) {}

    void post(const InputEvent& event) override;
    // Called after each event is recorded, on the posting thread; set it before posting starts.
    std::function<void(const InputEvent&)> onPost;
    bool pacesMotion() const override { return pacesMotion_; }
    void beginExclusive() override;
    void endExclusive() override;
    // Whether an exclusive hold is open, and how many events were posted while none was.
    bool isExclusive() const;
    std::size_t postedOutsideExclusive() const;

    std::vector<InputEvent> events() const;
    std::size_t count() const;
    // Returns the events posted so far and forgets them.
    std::vector<InputEvent> take();
    void clear();

  private:
    const bool pacesMotion_;
    mutable std::mutex mutex_;
    std::vector<InputEvent> events_;
    bool exclusive_ = false;
    std::size_t outsideExclusive_ = 0;
};

}  // namespace Injector
