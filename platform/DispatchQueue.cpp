#include "platform/DispatchQueue.h"

#include <pthread.h>

#include <exception>
#include <stdexcept>
#include <vector>

#include "platform/Log.h"

namespace platform {

namespace {

const Logger logger("dev.quelmar.trackpad.mac", "queues");

// Linux allows 15 bytes plus the terminator; cut at a character boundary so the name stays valid UTF-8.
std::string threadName(const std::string& label) {
    constexpr std::size_t limit = 15;
    if (label.size() <= limit)
        return label;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80)
        --cut;
    return label.substr(0, cut);
}

}  // namespace

DispatchQueue::DispatchQueue(std::string label) : label_(std::move(label)), thread_([this] { loop(); }) {
    // Named from here rather than from the thread, so the name is in place once the constructor returns.
    pthread_setname_np(thread_.native_handle(), threadName(label_).c_str());
}

DispatchQueue::~DispatchQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_one();
    thread_.join();
}

void DispatchQueue::async(Task task) {
    enqueue(std::move(task), false);
}

void DispatchQueue::enqueue(Task task, bool awaited) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(Entry{std::move(task), awaited});
    }
    ready_.notify_one();
}

std::size_t DispatchQueue::discardPending() {
    std::vector<Task> dropped;  // released after the lock: their captures may do anything
    {
        std::lock_guard lock(mutex_);
        std::deque<Entry> kept;
        for (Entry& entry : tasks_) {
            if (entry.awaited) {
                kept.push_back(std::move(entry));
            } else {
                dropped.push_back(std::move(entry.task));
            }
        }
        tasks_.swap(kept);
    }
    return dropped.size();
}

void DispatchQueue::sync(const Task& task) {
    if (isCurrent())
        throw std::logic_error("DispatchQueue::sync called on its own queue: " + label_);
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

void DispatchQueue::loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty())
            return;  // stopping, and everything queued has run
        Task task = std::move(tasks_.front().task);
        tasks_.pop_front();
        lock.unlock();
        try {
            task();
        } catch (const std::exception& error) {
            logger.error("a task of " + label_ + " failed: " + error.what());
        } catch (...) {
            logger.error("a task of " + label_ + " failed");
        }
        task = nullptr;  // its captures go on this thread, outside the lock
        lock.lock();
    }
}

}  // namespace platform
