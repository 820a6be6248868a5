#pragma once
// Runs an EventLoop on a thread of its own, so that a test's thread can play a phone with blocking calls
// while the computer's side runs as it does in the application. Work for the loop goes in through
// call(), which waits for the result.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>

#include "platform/EventLoop.h"

namespace testing_support {

class LoopThread {
  public:
    LoopThread() : thread_([this] { runLoop(); }) {
        std::unique_lock lock(mutex_);
        started_.wait(lock, [this] { return running_; });
    }
    ~LoopThread() {
        loop_->stop();
        thread_.join();
    }
    LoopThread(const LoopThread&) = delete;
    LoopThread& operator=(const LoopThread&) = delete;

    platform::EventLoop& loop() { return *loop_; }

    // Runs `work` on the loop's thread and returns its result (or rethrows its exception).
    template <class Work>
    auto call(Work&& work) -> std::invoke_result_t<Work&> {
        using Result = std::invoke_result_t<Work&>;
        std::packaged_task<Result()> task(std::forward<Work>(work));
        std::future<Result> result = task.get_future();
        loop_->post([&task] { task(); });
        return result.get();
    }

  private:
    void runLoop() {
        platform::EventLoop loop;
        loop_ = &loop;
        {
            std::lock_guard lock(mutex_);
            running_ = true;
        }
        started_.notify_all();
        loop.run();
        // Whatever was posted late runs (and is released) on this thread, not on a dead loop.
        loop.runOnce();
    }

    platform::EventLoop* loop_ = nullptr;
    std::mutex mutex_;
    std::condition_variable started_;
    bool running_ = false;
    std::thread thread_;
};

// Polls `condition` (under the caller's own locking) until it holds or `timeout` passes.
template <class Condition>
bool eventually(Condition condition, double timeout = 5) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<long>(timeout * 1e6));
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testing_support
