#pragma once
// A labelled serial worker queue: one thread named after the label (cut to 15 characters, the Linux
// limit) runs the tasks in order. Results go back to the main queue with EventLoop::post.
//
// Thread: async, sync and discardPending from any thread; the tasks run on the queue's own thread.
#include <condition_variable>
#include <cstddef>
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
    // An owner that must not wait for a backlog calls discardPending() first.
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const { return label_; }
    // An exception escaping a task is logged and the queue goes on with the next one: a worker's fault
    // must not end the process for every phone. Tasks that owe someone an answer catch their own.
    void async(Task task);
    // Runs the task on the queue after those already queued and waits for it; an exception it throws is
    // rethrown here. Called from the queue itself it throws std::logic_error instead of deadlocking.
    void sync(const Task& task);
    // Drops the tasks queued and not yet started (the running one finishes), so that a stop does not
    // wait for a backlog nobody will read. Tasks of sync() are kept: their callers wait for them. The
    // dropped tasks are released on the calling thread, outside the lock. Returns how many were dropped.
    std::size_t discardPending();
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    struct Entry {
        Task task;
        bool awaited = false;  // a sync() caller waits for it
    };
    void enqueue(Task task, bool awaited);
    void loop();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Entry> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace platform
