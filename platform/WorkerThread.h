#pragma once
// The thread of one object (a queue, a capture) that may be let go of on that very thread: a task or a
// callback the thread runs may drop the last reference to its owner. A thread cannot join itself, so its
// owner's join() is then left undone: the thread finishes its body by itself and the process joins it
// later, in joinAll(), when another worker ends, or at exit. Whatever the body still uses must therefore
// be its own (shared with the owner), never the owner's members.
//
// Thread: made, moved and joined by its owner, on any thread.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace platform {

class WorkerThread {
  public:
    WorkerThread() = default;
    // Runs `body` on a new thread named `name`, cut to the 15 bytes Linux allows; the name is in place
    // once the constructor returns.
    WorkerThread(const std::string& name, std::function<void()> body);
    // Joins, as join() does.
    ~WorkerThread();
    WorkerThread(WorkerThread&& other) noexcept;
    // Joins the thread held so far first.
    WorkerThread& operator=(WorkerThread&& other) noexcept;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool joinable() const { return thread_.joinable(); }
    // True on the thread itself, also once it has been joined or handed to the process.
    bool isCurrent() const { return std::this_thread::get_id() == id_; }
    std::thread::id id() const { return id_; }

    // Waits until the body has returned. On the thread itself it returns at once, and the thread is
    // joined by the process once the body (the task that let go of the owner, and what follows) ends.
    void join();

    // Waits, at most `timeout`, until no worker of the process is left: each joined by its owner, and
    // each let go of on its own thread ended and joined. The process calls it once its services are gone
    // and before its main loop and its logger go, since a worker still ending may post to the one and
    // write to the other. True when none is left; false once `timeout` has passed, however long the
    // workers still take.
    static bool joinAll(std::chrono::milliseconds timeout);

  private:
    std::thread thread_;
    std::thread::id id_;
    std::shared_ptr<std::atomic<bool>> ended_;  // set by the thread as its last step
};

}  // namespace platform
