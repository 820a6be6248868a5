#include "platform/LoopQueue.h"

#include <pthread.h>

#include <exception>
#include <future>
#include <mutex>
#include <vector>

#include "platform/Log.h"

namespace platform {
namespace {

const Logger logger("dev.quelmar.trackpad.mac", "queues");

// The queue's boundary, as the main loop's: an exception escaping a task is logged and the loop goes on
// with its other work instead of ending the process. True when `pass` ran to its end.
template <class Pass>
bool runGuarded(const std::string& label, Pass&& pass) {
    try {
        pass();
        return true;
    } catch (const std::exception& error) {
        logger.error("a task of " + label + " failed: " + error.what());
    } catch (...) {
        logger.error("a task of " + label + " failed");
    }
    return false;
}

// Linux allows 15 bytes plus the terminator; cut at a character boundary so the name stays valid UTF-8.
std::string threadName(const std::string& label) {
    constexpr std::size_t limit = 15;
    if (label.size() <= limit) {
        return label;
    }
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return label.substr(0, cut);
}

// The threads of queues released by one of their own tasks, until they are joined. Never destroyed: a
// thread may still be ending when the process exits after all.
struct ReleasedThreads {
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> ended;
    };
    std::mutex mutex;
    std::vector<Entry> entries;

    static ReleasedThreads& shared() {
        static auto* threads = new ReleasedThreads;
        return *threads;
    }

    void add(std::thread thread, std::shared_ptr<std::atomic<bool>> ended) {
        std::vector<Entry> finished;
        {
            std::lock_guard lock(mutex);
            // Those that ended are joined now, so that the list stays as short as the queues still ending.
            for (auto it = entries.begin(); it != entries.end();) {
                if (it->ended->load()) {
                    finished.push_back(std::move(*it));
                    it = entries.erase(it);
                } else {
                    ++it;
                }
            }
            entries.push_back(Entry{std::move(thread), std::move(ended)});
        }
        for (Entry& entry : finished) {
            entry.thread.join();
        }
    }

    // Takes every entry but that of the calling thread, which cannot join itself.
    std::vector<Entry> takeAll() {
        std::lock_guard lock(mutex);
        std::vector<Entry> taken;
        for (auto it = entries.begin(); it != entries.end();) {
            if (it->thread.get_id() != std::this_thread::get_id()) {
                taken.push_back(std::move(*it));
                it = entries.erase(it);
            } else {
                ++it;
            }
        }
        return taken;
    }
};

}  // namespace

LoopQueue::LoopQueue(std::string label)
    : label_(std::move(label)),
      loop_(std::make_shared<EventLoop>()),
      ended_(std::make_shared<std::atomic<bool>>(false)) {
    std::promise<void> started;
    std::future<void> running = started.get_future();
    // The thread keeps the loop alive on its own, so that a queue destroyed by one of its tasks does not
    // pull the loop out from under the running task.
    thread_ = std::thread([loop = loop_, label = label_, ended = ended_, &started]() mutable {
        // The loop belongs to the thread that runs it: run() makes this thread the loop's own, and the
        // first task tells the constructor that isCurrent() now answers for this thread.
        loop->post([&started] { started.set_value(); });
        // A task that threw leaves the stop request in place, so run() is simply entered again.
        while (!runGuarded(label, [&] { loop->run(); })) {
        }
        // What is still posted runs; a task that throws here puts the rest of its batch back first.
        while (!runGuarded(label, [&] { loop->runOnce(); })) {
        }
        loop.reset();
        ended->store(true);
    });
    pthread_setname_np(thread_.native_handle(), threadName(label_).c_str());
    running.wait();
}

LoopQueue::~LoopQueue() {
    loop_->stop();
    if (isCurrent()) {
        ReleasedThreads::shared().add(std::move(thread_), ended_);
    } else {
        thread_.join();
    }
}

void LoopQueue::joinReleased() {
    // A thread joined here may itself have released a queue on its way out: look again until none is left.
    for (;;) {
        std::vector<ReleasedThreads::Entry> taken = ReleasedThreads::shared().takeAll();
        if (taken.empty()) {
            return;
        }
        for (ReleasedThreads::Entry& entry : taken) {
            entry.thread.join();
        }
    }
}

void LoopQueue::sync(const std::function<void()>& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::packaged_task<void()> work([&task] { task(); });
    std::future<void> done = work.get_future();
    post([&work] { work(); });
    done.get();
}

}  // namespace platform
