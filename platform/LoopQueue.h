#pragma once
// A labelled serial queue with timers and descriptor watches: an EventLoop run on a thread of its own,
// named after the label (cut to 15 bytes). For services whose work may block (a sound server, a bus, a
// child process) and must therefore stay off the main queue. An exception escaping a task, a timer or a
// watch handler is logged and the queue goes on, as the main loop does.
//
// Thread: post, schedule and cancel from any thread; watches from the queue's own thread.
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/EventLoop.h"
#include "platform/WorkerThread.h"

namespace platform {

class LoopQueue final : public Executor {
  public:
    explicit LoopQueue(std::string label);
    // Stops the loop and joins the thread; tasks still posted are run (and released) on the queue's
    // thread first, timers not yet due are dropped. From one of the queue's own tasks (an owner released
    // there) the thread cannot be joined: it finishes that task and the posted ones, then ends by itself,
    // and the process joins it (WorkerThread).
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

  private:
    std::string label_;
    std::shared_ptr<EventLoop> loop_;  // shared with the thread, which may outlive the queue
    WorkerThread thread_;
};

}  // namespace platform
