#include "platform/DispatchQueue.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/Log.h"

namespace platform {

namespace {

const Logger logger("dev.quelmar.trackpad.mac", "queues");

}  // namespace

struct DispatchQueue::State {
    struct Entry {
        Task task;
        bool awaited = false;  // a sync() caller waits for it
    };
    explicit State(std::string label) : label(std::move(label)) {}
    void run();

    const std::string label;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Entry> tasks;
    bool stopping = false;
};

DispatchQueue::DispatchQueue(std::string label)
    : state_(std::make_shared<State>(std::move(label))),
      thread_(state_->label, [state = state_] { state->run(); }) {}

DispatchQueue::~DispatchQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->ready.notify_one();
    thread_.join();
}

const std::string& DispatchQueue::label() const {
    return state_->label;
}

void DispatchQueue::async(Task task) {
    enqueue(std::move(task), false);
}

void DispatchQueue::enqueue(Task task, bool awaited) {
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(State::Entry{std::move(task), awaited});
    }
    state_->ready.notify_one();
}

std::size_t DispatchQueue::discardPending() {
    std::vector<Task> dropped;  // released after the lock: their captures may do anything
    {
        std::lock_guard lock(state_->mutex);
        std::deque<State::Entry> kept;
        for (State::Entry& entry : state_->tasks) {
            if (entry.awaited) {
                kept.push_back(std::move(entry));
            } else {
                dropped.push_back(std::move(entry.task));
            }
        }
        state_->tasks.swap(kept);
    }
    return dropped.size();
}

void DispatchQueue::sync(const Task& task) {
    if (isCurrent())
        throw std::logic_error("DispatchQueue::sync called on its own queue: " + label());
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::exception_ptr failure;
    enqueue(
        [&] {
            try {
                task();
            } catch (...) {
                failure = std::current_exception();
            }
            std::lock_guard lock(doneMutex);
            done = true;
            doneSignal.notify_one();
        },
        true);
    std::unique_lock lock(doneMutex);
    doneSignal.wait(lock, [&] { return done; });
    if (failure)
        std::rethrow_exception(failure);
}

void DispatchQueue::State::run() {
    std::unique_lock lock(mutex);
    for (;;) {
        ready.wait(lock, [this] { return stopping || !tasks.empty(); });
        if (tasks.empty())
            return;  // stopping, and everything queued has run
        Task task = std::move(tasks.front().task);
        tasks.pop_front();
        lock.unlock();
        try {
            task();
        } catch (const std::exception& error) {
            logger.error("a task of " + label + " failed: " + error.what());
        } catch (...) {
            logger.error("a task of " + label + " failed");
        }
        task = nullptr;  // its captures go on this thread, outside the lock
        lock.lock();
    }
}

}  // namespace platform
