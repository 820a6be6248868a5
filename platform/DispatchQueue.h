#pragma once
// A labelled serial worker queue: one thread named after the label (cut to 15 characters, the Linux
// limit) runs the tasks in order. Results go back to the main queue with EventLoop::post.
//
// Thread: async, sync and discardPending from any thread; the tasks run on the queue's own thread.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/WorkerThread.h"

namespace platform {

class DispatchQueue {
public:
    using Task = std::function<void()>;

    explicit DispatchQueue(std::string label);
    // Runs the tasks already queued (and any they queue), then joins the thread. An owner that must not
    // wait for a backlog calls discardPending() first. From one of the queue's own tasks (its last owner
    // released there) the thread cannot be joined: it finishes that task and the queued ones, then ends
    // by itself, and the process joins it (WorkerThread).
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const;
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
    bool isCurrent() const { return thread_.isCurrent(); }

private:
    // What the thread works on: shared with it, since the thread may outlive the queue.
    struct State;
    void enqueue(Task task, bool awaited);

    std::shared_ptr<State> state_;
    WorkerThread thread_;
};

}  // namespace platform
