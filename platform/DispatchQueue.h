#pragma once
// A labelled serial worker queue: one thread named after the label (cut to 15 characters, the Linux
// limit) runs the tasks in order. Results go back to the main queue with EventLoop::post.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class DispatchQueue {
public:
    using Task = std::function<void()>;

    explicit DispatchQueue(std::string label);
    // Runs the tasks already queued (and any they queue), then joins the thread. Not from the queue itself.
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const { return label_; }
    // Tasks must not throw: as on any thread, an exception escaping a task ends the process.
    void async(Task task);
    // Runs the task on the queue after those already queued and waits for it; an exception it throws is
    // rethrown here. Called from the queue itself it throws std::logic_error instead of deadlocking.
    void sync(const Task& task);
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void loop();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace platform
