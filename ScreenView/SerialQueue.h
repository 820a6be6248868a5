#pragma once
// A labelled serial queue with timers: an EventLoop on a thread of its own, named after the label (cut
// to the 15 characters Linux keeps). Each screen-view session owns two (its state and its screenshot
// work), each capture runs on a thread of its own.
//
// Thread: any. Destroying the queue from one of its own tasks is allowed: the thread then finishes the
// task and ends by itself instead of being joined.
#include <memory>
#include <string>
#include <thread>

#include "platform/EventLoop.h"
#include "platform/Executor.h"

namespace ScreenView {

class SerialQueue final : public platform::Executor {
  public:
    explicit SerialQueue(std::string label);
    // Tasks already posted still run (late hops find their session gone and do nothing); pending
    // timers are dropped.
    ~SerialQueue() override;
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void post(Task task) override { loop_->post(std::move(task)); }
    TimerID schedule(std::chrono::microseconds delay, Task task,
                     std::chrono::microseconds leeway = std::chrono::microseconds{0}) override {
        return loop_->schedule(delay, std::move(task), leeway);
    }
    void cancel(TimerID id) override { loop_->cancel(id); }
    double now() const override { return loop_->now(); }
    bool isCurrent() const override { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    std::shared_ptr<platform::EventLoop> loop_;
    std::thread thread_;
};

}  // namespace ScreenView
