#pragma once
// A labelled serial queue with timers and descriptor watches: an EventLoop run on a thread of its own,
// named after the label (cut to 15 bytes). For services whose work may block (a sound server, a bus, a
// child process) and must therefore stay off the main queue. An exception escaping a task, a timer or a
// watch handler is logged and the queue goes on, as the main loop does.
//
// Thread: post, schedule and cancel from any thread; watches from the queue's own thread.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/EventLoop.h"

namespace platform {

class LoopQueue final : public Executor {
  public:
    explicit LoopQueue(std::string label);
    // Stops the loop and joins the thread; tasks still posted are run (and released) on the queue's
    // thread first, timers not yet due are dropped. From one of the queue's own tasks (an owner released
    // there) the thread cannot be joined: it finishes that task and the posted ones, then ends by itself,
    // and joinAll(), a later queue's end or the process's exit joins it.
    ~LoopQueue() override;
    LoopQueue(const LoopQueue&) = delete;
    LoopQueue& operator=(const LoopQueue&) = delete;

    const std::string& label() const { return label_; }
    EventLoop& loop() { return *loop_; }

    void post(Task task) override { loop_->post(std::move(task)); }
    TimerID schedule(std::chrono::microseconds delay, Task task,
                     std::chrono::microseconds leeway = std::chrono::microseconds{0}) override {
        return loop_->schedule(delay, std::move(task), leeway);
    }
    void cancel(TimerID id) override { loop_->cancel(id); }
    double now() const override { return loop_->now(); }
    bool isCurrent() const override { return loop_->isCurrent(); }

    // Runs the task on the queue after those already posted and waits for it; an exception it throws is
    // rethrown here. Called from the queue itself it runs the task at once instead of deadlocking.
    void sync(const std::function<void()>& task);

    // Waits, at most `timeout`, until no queue of the process is left: each destroyed, and the thread of
    // each released by one of its own tasks (a session closed on its own queue) ended and joined. The
    // process calls it once its services are gone and before its main loop and its logger go, since a
    // queue still closing may post to the one and write to the other. True when none is left.
    static bool joinAll(std::chrono::milliseconds timeout);

  private:
    std::string label_;
    std::shared_ptr<EventLoop> loop_;           // shared with the thread, which may outlive the queue
    std::shared_ptr<std::atomic<bool>> ended_;  // set by the thread as its last step
    std::thread thread_;
};

}  // namespace platform
